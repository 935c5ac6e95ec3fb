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

skip() {
  echo "run_whole_road_netns: SKIPPED: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
command -v ip >/dev/null || skip "no ip command (iproute2)"

csns=tarn-cs-$$ mans=tarn-ma-$$ dbns=tarn-db-$$
made=()
outdir=$(mktemp -d "${TMPDIR:-/tmp}/tarnroadnetns.XXXXXX")
out=$outdir/road.out
cleanup() {
  local ns pid
  for ns in "${made[@]}"; do
    # Whatever of this run still runs in its namespaces goes first.
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
    ip netns delete "$ns" 2>/dev/null || true
  done
  rm -rf "$outdir"
}
trap cleanup EXIT
trap 'exit 143' INT TERM

for ns in "$csns" "$mans" "$dbns"; do
  ip netns add "$ns" 2>/dev/null || skip "cannot make network namespace $ns"
  made+=("$ns")
  ip -n "$ns" link set lo up
done
# DB2 host 10.77.1.1 -- cell server 10.77.1.2; DB2 host 10.77.2.1 -- media
# agent 10.77.2.2. Each pair is made straight inside its namespaces, so runs
# in parallel never meet.
ip -n "$dbns" link add tocs type veth peer name todb netns "$csns" ||
  skip "cannot make veth pairs"
ip -n "$dbns" link add toma type veth peer name todb netns "$mans"
ip -n "$dbns" addr add 10.77.1.1/24 dev tocs
ip -n "$csns" addr add 10.77.1.2/24 dev todb
ip -n "$dbns" addr add 10.77.2.1/24 dev toma
ip -n "$mans" addr add 10.77.2.2/24 dev todb
for pair in "$dbns tocs" "$dbns toma" "$csns todb" "$mans todb"; do
  # shellcheck disable=SC2086
  set -- $pair
  ip -n "$1" link set "$2" up
done
echo "run_whole_road_netns: cell server in $csns (10.77.1.2), media agent in $mans" \
  "(10.77.2.2), DB2 host in $dbns (10.77.1.1, 10.77.2.1)"

export RUN_ROAD_NETNS="$csns 10.77.1.2 $mans 10.77.2.2 $dbns 10.77.1.1"
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
# exit in the session manager's record, DB2's error; in time either way.
status=0
start=$SECONDS
"$here/run_whole_road.sh" "$build" "$mib" 2>&1 | tee "$out" || status=$?
took=$((SECONDS - start))
if grep -q "not cut while" "$out"; then
  exit 1
elif [ "$status" -eq 0 ]; then
  echo "run_whole_road_netns: the road went through the cut ($took s)"
elif grep -q "^FAIL  backup by kestrel.*end=exit status=[1-9][0-9]* outcome=failed" "$out" &&
  grep -q "SQLCODE  *= -" "$out" && [ "$took" -le 120 ]; then
  echo "run_whole_road_netns: the backup failed visibly after the cut ($took s): expected"
else
  echo "run_whole_road_netns: the cut ended neither in success nor in a visible failure" >&2
  exit 1
fi
