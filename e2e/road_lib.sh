# Steps the road scripts share; sourced, not run.

# make_root <root> [<catalogue file>]: the install layout every test root has,
# with the message catalogue when there is one.
make_root() {
  local root=$1 catalogue=${2:-} dir
  while IFS= read -r dir; do
    mkdir -p "$root/$dir"
  done <"$(dirname "${BASH_SOURCE[0]}")/../testsupport/layout.txt"
  if [ -n "$catalogue" ] && [ -f "$catalogue" ]; then
    cp "$catalogue" "$root/opt/tarn/lib/nls/C/tarn.cat"
  fi
}

# wait_for <file> <pid> <what>: waits up to 20 s for the file to get content;
# ends the script when the process ends first or the time runs out.
wait_for() {
  local script _
  script=$(basename "$0" .sh)
  for _ in $(seq 400); do
    [ -s "$1" ] && return 0
    kill -0 "$2" 2>/dev/null || { echo "$script: $3 ended at start" >&2; exit 1; }
    sleep 0.05
  done
  echo "$script: $3 did not become ready" >&2
  exit 1
}

# start_media_agent <program> <work> <address> [<command prefix>...]: starts
# the stand-in media agent on <address> (its store, port file, traffic log and
# events under <work>), run through the prefix when there is one; adds it to
# the caller's pids and sets maport. The agent takes each stream's direction
# from the session manager's object requests (<work>/ma.requests).
start_media_agent() {
  local program=$1 work=$2 address=$3
  shift 3
  "$@" "$program" --store "$work/media" --bind "$address" --port-file "$work/ma.port" \
    --traffic "$work/ma.traffic" --requests "$work/ma.requests" --buffer-size 262144 \
    --buffer-count 8 --lifetime 3600 >"$work/ma.events" &
  pids+=($!)
  wait_for "$work/ma.port" "$!" "the stand-in media agent"
  maport=$(awk '$1 == "port" { print $2 }' "$work/ma.port")
}

# object_answers <fixture> <address> <port> <backups> <restores>: the session
# manager's answers to object requests, in the order asked: <backups> backup
# objects, each on a data-path id of its own, then <restores> restore
# objects, each read from its object's stream.
object_answers() {
  local fixture=$1 address=$2 port=$3 da
  : >"$fixture"
  for da in $(seq "$4"); do
    echo "baropt connect -ma $address $port -daid $da" >>"$fixture"
  done
  for _ in $(seq "$5"); do
    echo "baropt connect -ma $address $port -daid \${da}" >>"$fixture"
  done
}

# stop_started: stops every process in the caller's pids and waits for it.
stop_started() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}

# make_hosts: three hosts on this machine: network namespaces
# tarn-{cs,ma,db}-<pid> (names in csns, mans, dbns), the DB2 host's joined to
# the cell server's (10.77.1.1 -- 10.77.1.2) and to the media agent's
# (10.77.2.1 -- 10.77.2.2) by veth pairs; sets hosts to "<cs netns> <cs
# address> <ma netns> <ma address> <db netns> <db address>". The caller runs
# remove_hosts on every exit. Exits 77 (skipped) with the reason when not
# root or when the namespaces cannot be made.
make_hosts() {
  local script ns pair
  script=$(basename "$0" .sh)
  [ "$(id -u)" -eq 0 ] || { echo "$script: SKIPPED: network namespaces need root"; exit 77; }
  command -v ip >/dev/null || { echo "$script: SKIPPED: no ip command (iproute2)"; exit 77; }
  csns=tarn-cs-$$ mans=tarn-ma-$$ dbns=tarn-db-$$
  made_hosts=()
  for ns in "$csns" "$mans" "$dbns"; do
    ip netns add "$ns" 2>/dev/null ||
      { echo "$script: SKIPPED: cannot make network namespace $ns"; exit 77; }
    made_hosts+=("$ns")
    ip -n "$ns" link set lo up
  done
  # Each pair is made straight inside its namespaces, so runs in parallel
  # never meet.
  ip -n "$dbns" link add tocs type veth peer name todb netns "$csns" ||
    { echo "$script: SKIPPED: cannot make veth pairs"; exit 77; }
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
  hosts="$csns 10.77.1.2 $mans 10.77.2.2 $dbns 10.77.1.1"
  echo "$script: cell server in $csns (10.77.1.2), media agent in $mans" \
    "(10.77.2.2), DB2 host in $dbns (10.77.1.1, 10.77.2.1)"
}

# remove_hosts: ends whatever still runs in the namespaces make_hosts made,
# then removes them.
remove_hosts() {
  local ns pid
  for ns in "${made_hosts[@]}"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
    ip netns delete "$ns" 2>/dev/null || true
  done
  made_hosts=()
}

# show_logs <work> [<install root>]: the last lines of the stand-in DB2's
# calls log, of the cell server's traffic log and of the install root's logs,
# on standard error, for a road that failed.
show_logs() {
  local work=$1 root=${2:-}
  echo "--- last lines of the stand-in DB2's calls log" >&2
  tail -n 30 "$work/db2/calls.log" >&2 || true
  echo "--- last lines of the cell server's traffic log" >&2
  tail -n 20 "$work/cs.traffic" >&2 || true
  if [ -n "$root" ]; then
    echo "--- logs of the install root" >&2
    tail -n 15 "$root"/var/opt/tarn/log/*.log >&2 || true
  fi
}
