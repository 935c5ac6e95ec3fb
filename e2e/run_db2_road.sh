#!/usr/bin/env bash
# Runs the DB2 road against the stand-ins: a temporary install root with the
# vendor library in its lib directory, the stand-in media agent and the
# stand-in cell server (whose session manager sends the objects to that agent)
# on free loopback ports, and the stand-in DB2's state; all of it is stopped
# and removed whatever happens.
#
#   run_db2_road.sh <tarn-cellserver> <tarn-mediaagent> <db2_road> <libwren_32bit.so>
#                   <catalogue file> [<MiB per partition>]
set -euo pipefail
. "$(dirname "$0")/road_lib.sh"
server=$1
agent=$2
road=$3
library=$4
catalogue=$5
mib=${6:-128}

work=$(mktemp -d /tmp/tarndb2road.XXXXXX)
pids=()
cleanup() {
  stop_started
  rm -rf "$work"
}
trap cleanup EXIT

root=$work/root
make_root "$root" "$catalogue"
# Installed where DB2 is told to load it from.
cp "$library" "$root/opt/tarn/lib/libwren_32bit.so"
# Key paths of the node semaphores, and the client's cell server.
for program in kestrel plover heron linnet; do : >"$root/opt/tarn/lbin/$program"; done
echo 127.0.0.1 >"$root/etc/opt/tarn/client/cell_server"

start_media_agent "$agent" "$work" 127.0.0.1

# Two partitions with two sessions each: four backup objects, then four
# restore objects.
object_answers "$work/fixture" 127.0.0.1 "$maport" 4 4
"$server" --state "$work/state" --ports-file "$work/ports" --fixture "$work/fixture" \
  --traffic "$work/cs.traffic" --media-events "$work/ma.events" \
  --media-requests "$work/ma.requests" --lifetime 3600 >/dev/null &
pids+=($!)
wait_for "$work/ports" "$!" "the stand-in cell server"
inet=$(awk '$1 == "inet" { print $2 }' "$work/ports")
echo "run_db2_road: stand-in media agent on port $maport, cell server on inet port $inet"

status=0
TARN_INET_PORT=$inet TARN_ROOT=$root TARN_DB2_STATE=$work/db2 DB2INSTANCE=db2inst1 \
  "$road" "$root/opt/tarn/lib/libwren_32bit.so" "$mib" || status=$?
if [ "$status" -ne 0 ]; then
  echo "--- last lines of the stand-in DB2's calls log" >&2
  tail -n 30 "$work/db2/calls.log" >&2 || true
  echo "--- last lines of the cell server's traffic log" >&2
  tail -n 20 "$work/cs.traffic" >&2 || true
fi
exit "$status"
