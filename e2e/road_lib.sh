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
