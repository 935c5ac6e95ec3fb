#!/usr/bin/env bash
# The whole-road benchmark: DB2's backup and restore of a database of two
# partitions x 512 MiB through libwren to the stand-in media agent storing to
# disk, locally (shared memory) and through the network process, with 1, 2
# and 4 sessions per partition, beside bounds measured in the same run: the
# store directory's sequential write (dd conv=fdatasync) and read (dd
# iflag=direct), and memcpy into a ring and raw loopback TCP of the road's
# buffer shape (8 x 256 KiB, bench_dapath). Prints one line per road with its
# ratios, and the stand-in DB2's share of the road's CPU.
#
#   bench/db2_road_bench.sh [<build dir, default build/bench>] [<runs, default 3>]
#
# The store, the database and the dd file lie under $TMPDIR (default /tmp);
# about 4 GiB at most, removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/bench}" && pwd)
runs=${2:-3}
mib=512  # per partition
sessionCounts=(1 2 4)

server=$build/platform/cellserver/tarn-cellserver
agent=$build/platform/mediaagent/tarn-mediaagent
road=$build/e2e/db2_road
library=$(find "$build/integ/db2" -name libwren_32bit.so -print -quit)
catalogue=$build/nls/C/tarn.cat
dapath=$build/bench/bench_dapath
for f in "$server" "$agent" "$road" "$library" "$catalogue" "$dapath"; do
  [ -e "$f" ] || { echo "db2_road_bench: $f is missing; build the bench preset first" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnroadbench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# MiB/s of a dd line ("... bytes ... copied, S s, R MB/s"): bytes over seconds.
dd_rate() {
  awk '/copied/ { for (i = 1; i <= NF; i++) if ($i == "s,") s = $(i - 1); b = $1 }
       END { printf "%.1f", b / s / 1048576 }'
}
# MiB/s of a benchmark's bytes_per_second (JSON) for one name.
bench_rate() {
  awk -v name="\"$1\"" '$0 ~ "\"name\": " name { on = 1 }
       on && /"bytes_per_second"/ { gsub(/[,]/, "", $2); printf "%.1f", $2 / 1048576; exit }' "$2"
}
field() { tr ' ' '\n' | awk -F= -v k="$1" '$1 == k { print $2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

echo "db2_road_bench: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), store under $work"
for ((run = 1; run <= runs; run++)); do
  write=$(dd if=/dev/zero of="$work/dd" bs=1M count=1024 conv=fdatasync 2>&1 | dd_rate)
  read=$(dd if="$work/dd" of=/dev/null bs=1M iflag=direct 2>&1 | dd_rate)
  rm -f "$work/dd"
  "$dapath" --benchmark_filter='BM_MemcpyRing/262144|BM_RawLoopbackTcp/262144' \
    --benchmark_format=json >"$work/bounds.json" 2>/dev/null
  memcpy=$(bench_rate BM_MemcpyRing/262144/iterations:3/real_time "$work/bounds.json")
  tcp=$(bench_rate BM_RawLoopbackTcp/262144/iterations:3/real_time "$work/bounds.json")
  echo "run $run: load $(cut -d' ' -f1 /proc/loadavg); dd write $write MiB/s, dd read $read MiB/s," \
    "memcpy ring $memcpy MiB/s, raw TCP $tcp MiB/s (8 x 256 KiB)"
  for path in local network; do
    for s in "${sessionCounts[@]}"; do
      more=(--sessions "$s")
      [ "$path" = network ] && more+=(--network)
      out=$(TMPDIR=$work "$here/../e2e/run_db2_road.sh" "$build" "$mib" "${more[@]}" 2>&1) || {
        echo "$out" | tail -20 >&2
        echo "db2_road_bench: the road failed ($path, $s sessions)" >&2
        exit 1
      }
      for step in backup restore; do
        line=$(echo "$out" | grep "^figures $step ")
        rate=$(echo "$line" | field mib_per_s)
        share=$(echo "$line" | field standin_share)
        cpu=$(echo "$line" | field road_cpu)
        bound=$([ "$path" = network ] && echo "$tcp" || echo "$memcpy")
        printf "run %d %-7s %-7s 2 x %d sessions: %7.1f MiB/s  x dd write %s  x dd read %s  x %s %s  road CPU %5.2f s, stand-in DB2 %s\n" \
          "$run" "$path" "$step" "$s" "$rate" "$(ratio "$rate" "$write")" "$(ratio "$rate" "$read")" \
          "$([ "$path" = network ] && echo TCP || echo memcpy)" "$(ratio "$rate" "$bound")" \
          "$cpu" "$share"
      done
    done
  done
done
