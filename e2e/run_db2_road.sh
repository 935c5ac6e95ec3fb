#!/usr/bin/env bash
# Runs the DB2 road against the stand-ins: the build installed into a
# temporary install root (the vendor library in its lib directory, the key
# paths of the node semaphores, the catalogue), the stand-in media agent and
# the stand-in cell server (whose session manager sends the objects to that
# agent) on free loopback ports, and the stand-in DB2's state; all of it is
# stopped and removed whatever happens.
#
#   run_db2_road.sh <build dir> [<MiB per partition> [<db2_road options>...]]
#
# The options (--sessions <n>, --network) go to db2_road; the work folder is
# made under $TMPDIR (default /tmp), so that a benchmark can put the agent's
# store on the disk it measures.
set -euo pipefail
. "$(dirname "$0")/road_lib.sh"
build=$(cd "$1" && pwd)
server=$build/platform/cellserver/tarn-cellserver
agent=$build/platform/mediaagent/tarn-mediaagent
road=$build/e2e/db2_road
mib=${2:-128}
shift $(($# < 2 ? $# : 2))
options=("$@")
sessions=2
network=0
for ((i = 0; i < ${#options[@]}; i++)); do
  [ "${options[i]}" = --network ] && network=1
  [ "${options[i]}" = --sessions ] && [ $((i + 1)) -lt ${#options[@]} ] && sessions=${options[i + 1]}
done
if ! [[ $sessions =~ ^[1-9][0-9]?$ ]]; then
  echo "run_db2_road: --sessions takes 1 to 99" >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tarndb2road.XXXXXX")
pids=()
cleanup() {
  stop_started
  rm -rf "$work"
}
trap cleanup EXIT

root=$work/root
# What the build installs (the library where DB2 is told to load it from),
# and the client's cell server.
cmake --install "$build" --prefix "$root" >/dev/null
mkdir -p "$root/etc/opt/tarn/client"
echo 127.0.0.1 >"$root/etc/opt/tarn/client/cell_server"
# The platform's own libraries (the closed libraries the vendor library
# loads) are the system's: found by the loader, not installed with the product.
LD_LIBRARY_PATH=$(find "$build/platform" -name '*.so' -printf '%h\n' | sort -u | paste -sd:)
export LD_LIBRARY_PATH

start_media_agent "$agent" "$work" 127.0.0.1
agentpid=${pids[-1]}

# Two partitions with $sessions sessions each: a backup object per session,
# each on its own data-path id, then as many restore objects, each read from
# its object's stream.
object_answers "$work/fixture" 127.0.0.1 "$maport" $((2 * sessions)) $((2 * sessions))
"$server" --state "$work/state" --ports-file "$work/ports" --fixture "$work/fixture" \
  --traffic "$work/cs.traffic" --media-events "$work/ma.events" \
  --media-requests "$work/ma.requests" --lifetime 3600 >/dev/null &
pids+=($!)
wait_for "$work/ports" "$!" "the stand-in cell server"
inet=$(awk '$1 == "inet" { print $2 }' "$work/ports")
echo "run_db2_road: stand-in media agent on port $maport, cell server on inet port $inet"

status=0
TARN_INET_PORT=$inet TARN_ROOT=$root TARN_DB2_STATE=$work/db2 DB2INSTANCE=db2inst1 \
  "$road" "$root/opt/tarn/lib/libwren_32bit.so" "$mib" --peers "$agentpid,${pids[1]}" \
  ${options[@]+"${options[@]}"} || status=$?
# Asked for the network process, the agent must have served sockets only.
if [ "$status" -eq 0 ] && [ "$network" -eq 1 ] && grep -q "transfer shared memory" "$work/ma.traffic"; then
  echo "run_db2_road: a stream went through shared memory, not the network process" >&2
  status=1
fi
[ "$status" -eq 0 ] || show_logs "$work"
exit "$status"
