#!/usr/bin/env bash
# Builds the system and runs its main job against the platform stand-ins.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset normal >/dev/null
cmake --build --preset normal -j "$(nproc)"
root=$(mktemp -d /tmp/tarnroot.XXXXXX)
trap 'rm -rf "$root"' EXIT
export TARN_ROOT="$root"
echo "The DB2 backup and restore road is not built yet; running the newest road instead."
ctest --preset normal -R 'ContextTable|InstallPaths' --output-on-failure
