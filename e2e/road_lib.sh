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
