#!/usr/bin/env bash
# Runs the whole road with the cell server, the media agent and the DB2 host
# (stand-in DB2, client service, kestrel, libwren, plover) on three hosts:
# three network namespaces, the DB2 host's joined to each of the others by a
# veth pair. The media agent is remote for real, so the locality rule gives
# every stream a network process. The namespaces carry this run's process id
# in their names and are removed whatever happens.
#
#   run_whole_road_netns.sh <build dir> [<MiB per partition>] [--cut ma|cs|both <seconds>]
#
# --cut takes the DB2 host's link to the media agent, to the cell server or
# both down in the middle of the backup's streams, and up again after the
# seconds. Exits 77 (skipped) when not run as root or when the
# namespaces cannot be made.
set -euo pipefail
build=$1
mib=${2:-64}
cut=() cutseconds=0
if [ "${3:-}" = "--cut" ]; then
  cut=("$4")
  cutseconds=$5
fi
here=$(dirname "$0")

. "$here/road_lib.sh"

made_hosts=()
outdir=$(mktemp -d "${TMPDIR:-/tmp}/tarnroadnetns.XXXXXX")
out=$outdir/road.out
cleanup() {
  remove_hosts
  rm -rf "$outdir"
}
trap cleanup EXIT
trap 'exit 143' INT TERM
make_hosts

export RUN_ROAD_NETNS=$hosts
export RUN_ROAD_TRANSFER=socket
case "${cut[0]:-}" in
  "") ;;
  ma) export RUN_ROAD_CUT="$dbns toma $cutseconds" ;;
  cs) export RUN_ROAD_CUT="$dbns tocs $cutseconds" ;;
  both) export RUN_ROAD_CUT="$dbns toma,tocs $cutseconds" ;;
  *) echo "run_whole_road_netns: --cut takes ma, cs or both" >&2; exit 2 ;;
esac
if [ ${#cut[@]} -eq 0 ]; then
  "$here/run_whole_road.sh" "$build" "$mib"
  exit
fi

# With a cut, the road either goes through (the streams held or were resumed)
# or ends at the backup with a failure every side sees: kestrel's non-zero
# exit in the session manager's record, and DB2's error or, for a partition
# whose task could not reach the cell server before it called DB2, the
# agent's report of it; in time either way.
status=0
start=$SECONDS
"$here/run_whole_road.sh" "$build" "$mib" 2>&1 | tee "$out" || status=$?
took=$((SECONDS - start))
if grep -q "not cut while" "$out"; then
  exit 1
elif [ "$status" -eq 0 ]; then
  echo "run_whole_road_netns: the road went through the cut ($took s)"
elif grep -q "^FAIL  backup by kestrel.*end=exit status=[1-9][0-9]* outcome=failed" "$out" &&
  grep -q "SQLCODE  *= -\|partition backup(s) failed" "$out" && [ "$took" -le 120 ]; then
  echo "run_whole_road_netns: the backup failed visibly after the cut ($took s): expected"
else
  echo "run_whole_road_netns: the cut ended neither in success nor in a visible failure" >&2
  exit 1
fi
