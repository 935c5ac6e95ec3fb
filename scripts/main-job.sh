#!/usr/bin/env bash
# Builds the system and runs its main job against the platform stand-ins: the
# DB2 road (e2e/run_db2_road.sh) starts the stand-in media agent and cell
# server on free loopback ports, lets the stand-in DB2 back up a database of
# two partitions through the vendor library libwren and restore it, and stops
# everything whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset normal >/dev/null
cmake --build --preset normal -j "$(nproc)"
b=build/normal
e2e/run_db2_road.sh $b/platform/cellserver/tarn-cellserver $b/platform/mediaagent/tarn-mediaagent \
  $b/e2e/db2_road $b/integ/db2/libwren/libwren_32bit.so $b/nls/C/tarn.cat 128
