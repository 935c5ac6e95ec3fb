#!/usr/bin/env bash
# Builds the system and runs its main job against the platform stand-ins: the
# stand-in cell server is started on a free port with a temporary state
# directory, the newest end-to-end road runs against it, and the stand-in is
# stopped whatever happens (e2e/run_road.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset normal >/dev/null
cmake --build --preset normal -j "$(nproc)"
echo "The DB2 backup and restore road is not built yet; running the newest road instead."
e2e/run_road.sh build/normal/platform/cellserver/tarn-cellserver build/normal/e2e/csa_road \
  build/normal/nls/C/tarn.cat
