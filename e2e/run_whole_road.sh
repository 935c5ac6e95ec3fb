#!/usr/bin/env bash
# Runs the whole road (whole_road) against the stand-ins: installs the build
# into a temporary install root, starts the stand-in media agent, the
# stand-in cell server (session manager, catalogue, launch file) and the
# stand-in client service of the DB2 host, writes the install root's .tarnrc
# and runs the road; everything is stopped and removed whatever happens.
#
#   run_whole_road.sh <build dir> [<MiB per partition>]
#
# With RUN_ROAD_NETNS set (run_whole_road_netns.sh sets it) the cell server,
# the media agent and the DB2 host each run in the namespace that variable
# names ("<cs ns> <cs address> <ma ns> <ma address> <db2 ns> <db2 address>");
# otherwise all of them listen on loopback. RUN_ROAD_CUT ("<ns> <link>[,<link>]
# <seconds>") takes those links of that namespace down once DB2 has handed the
# backup a quarter of a partition's data, and up again after the seconds. RUN_ROAD_TRANSFER
# ("shared memory" or "socket") is the only way the media agent may have been
# reached.
set -euo pipefail
. "$(dirname "$0")/road_lib.sh"
build=$(cd "$1" && pwd)
mib=${2:-64}
e2e=$build/e2e

if [ -n "${RUN_ROAD_NETNS:-}" ]; then
  read -r csns csaddr mans maaddr dbns dbaddr <<<"$RUN_ROAD_NETNS"
  in_cs=(ip netns exec "$csns")
  in_ma=(ip netns exec "$mans")
  in_db=(ip netns exec "$dbns")
else
  csaddr=127.0.0.1 maaddr=127.0.0.1 dbaddr=127.0.0.1
  in_cs=() in_ma=() in_db=()
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwholeroad.XXXXXX")
pids=()
cleanup() {
  stop_started
  # RUN_ROAD_KEEP names a folder that gets the logs of the run.
  if [ -n "${RUN_ROAD_KEEP:-}" ]; then
    mkdir -p "$RUN_ROAD_KEEP"
    cp "$work"/*.traffic "$work"/ma.events "$work"/db2/calls.log "$RUN_ROAD_KEEP" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The installation: what the build installs, under a root of its own, and
# nothing more (its key paths of the node semaphores included); then the
# client's cell-server file an administrator writes.
root=$work/root
cmake --install "$build" --prefix "$root" >/dev/null
mkdir -p "$root/etc/opt/tarn/client"
echo "$csaddr" >"$root/etc/opt/tarn/client/cell_server"
# The platform's own libraries (DB2's client library, the closed libraries)
# are the system's: found by the loader, not installed with the product.
LD_LIBRARY_PATH=$(find "$build/platform" -name '*.so' -printf '%h\n' | sort -u | paste -sd:)
export LD_LIBRARY_PATH

start_media_agent "$build/platform/mediaagent/tarn-mediaagent" "$work" "$maaddr" "${in_ma[@]}"

# The backup's four streams (two partitions, two sessions each) and the eight
# archived logs, then the restores and the logs retrieved.
object_answers "$work/fixture" "$maaddr" "$maport" 12 32
"${in_cs[@]}" "$build/platform/cellserver/tarn-cellserver" --state "$work/cs" --bind "$csaddr" \
  --ports-file "$work/cs.ports" --fixture "$work/fixture" --traffic "$work/cs.traffic" \
  --media-events "$work/ma.events" --media-requests "$work/ma.requests" \
  --launch "$work/launch" --lifetime 900 >/dev/null &
pids+=($!)
wait_for "$work/cs.ports" "$!" "the stand-in cell server"
inet=$(awk '$1 == "inet" { print $2 }' "$work/cs.ports")

# The installation's settings: only the install root's rc file tells the
# installed programs where the cell server listens.
printf 'TARN_INET_PORT=%s\nVEK_CELL_SERVER_HOSTNAME=%s\nVEKSHUTDOWNTIMEOUT=1\n' \
  "$inet" "$csaddr" >"$root/opt/tarn/.tarnrc"

# The DB2 host: its client service (whose agents inherit the install root
# and DB2's settings) and the stand-in DB2's state.
export TARN_ROOT=$root TARN_DB2_STATE=$work/db2 DB2INSTANCE=db2inst1
"${in_db[@]}" "$build/platform/clientsvc/tarn-clientsvc" --bind "$dbaddr" \
  --ports-file "$work/clientsvc.ports" --lifetime 900 >/dev/null 2>&1 &
pids+=($!)
wait_for "$work/clientsvc.ports" "$!" "the stand-in client service"
clientport=$(awk '$1 == "port" { print $2 }' "$work/clientsvc.ports")
echo "run_whole_road: media agent $maaddr:$maport, cell server $csaddr:$inet," \
  "client service $dbaddr:$clientport"

if [ -n "${RUN_ROAD_CUT:-}" ]; then
  read -r cutns cutlinks cutseconds <<<"$RUN_ROAD_CUT"
  (
    # Mid-stream: DB2 has handed the library a quarter of the first
    # partition's data (its buffers hold 1 MiB).
    for _ in $(seq 2400); do
      puts=$(grep -c " sqluvput " "$work/db2/calls.log" 2>/dev/null || true)
      [ "${puts:-0}" -ge $(((mib + 3) / 4)) ] && break
      sleep 0.05
    done
    ended=$(grep -c "^STREAM_END" "$work/ma.events" || true)
    for link in ${cutlinks//,/ }; do ip -n "$cutns" link set "$link" down; done
    echo "run_whole_road: links $cutlinks of $cutns down for $cutseconds s" \
      "($ended streams ended before)"
    echo "$ended" >"$work/cut"
    sleep "$cutseconds"
    for link in ${cutlinks//,/ }; do ip -n "$cutns" link set "$link" up; done
    echo "run_whole_road: links $cutlinks of $cutns up again"
  ) &
  pids+=($!)
fi

status=0
"${in_db[@]}" "$e2e/whole_road" --cell-server "$csaddr" --client "$dbaddr" "$clientport" \
  --launch "$work/launch" --launches "$work/cs/launches" --media-store "$work/media" \
  --mib "$mib" || status=$?
# How the media agent was reached: the locality rule's choice.
shm=$(grep -c " transfer shared memory" "$work/ma.traffic" || true)
socket=$(grep -c " transfer socket" "$work/ma.traffic" || true)
echo "run_whole_road: streams to and from the media agent: $shm over shared memory," \
  "$socket over sockets"
case "${RUN_ROAD_TRANSFER:-}" in
  "shared memory") [ "$socket" -eq 0 ] || status=1 ;;
  socket) [ "$shm" -eq 0 ] || status=1 ;;
esac
if [ -n "${RUN_ROAD_CUT:-}" ]; then
  if [ ! -s "$work/cut" ] || [ "$(cat "$work/cut")" -ge 4 ]; then
    echo "run_whole_road: the links were not cut while the backup's streams were open"
    status=1
  fi
fi
[ "$status" -eq 0 ] || show_logs "$work" "$root"
exit "$status"
