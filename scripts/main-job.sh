#!/usr/bin/env bash
# Builds the system and runs its main job against the platform stand-ins: the
# whole road (e2e/run_whole_road.sh) installs the build into a temporary
# install root, starts the stand-in cell server, media agent and client
# service on free loopback ports, and goes through an administrator's day
# with a database of two partitions of 128 MiB each: heron's configuration,
# kestrel's backup, logs archived through plover, and kestrel's restore with
# roll-forward to a point in time; it stops and removes everything whatever
# happens.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset normal >/dev/null
cmake --build --preset normal -j "$(nproc)"
e2e/run_whole_road.sh build/normal 128
