#!/usr/bin/env bash
# Runs an end-to-end road against the stand-in cell server: starts the stand-in
# on free loopback ports with a temporary state directory, runs the road with
# TARN_INET_PORT and TARN_ROOT set, and stops the stand-in whatever happens.
#
#   run_road.sh <tarn-cellserver> <road program> [<catalogue file>]
set -euo pipefail
. "$(dirname "$0")/road_lib.sh"
server=$1
road=$2
catalogue=${3:-}

work=$(mktemp -d /tmp/tarnroad.XXXXXX)
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

root=$work/root
make_root "$root" "$catalogue"

# The cell's global options the road expects to see applied.
printf 'option BindTimeout 10\n' >"$work/fixture"
"$server" --state "$work/state" --ports-file "$work/ports" --fixture "$work/fixture" \
  --lifetime 600 >/dev/null &
pid=$!
wait_for "$work/ports" "$pid" "the stand-in cell server"
inet=$(awk '$1 == "inet" { print $2 }' "$work/ports" 2>/dev/null || true)
if [ -z "$inet" ]; then
  echo "run_road: the stand-in cell server did not become ready" >&2
  exit 1
fi
echo "run_road: stand-in cell server on inet port $inet (pid $pid)"

status=0
TARN_INET_PORT=$inet TARN_ROOT=$root "$road" || status=$?
if [ "$status" -ne 0 ]; then
  echo "--- last lines of the stand-in's traffic log" >&2
  tail -n 40 "$work/state/traffic.log" >&2 || true
fi
exit "$status"
