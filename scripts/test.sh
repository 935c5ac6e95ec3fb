#!/usr/bin/env bash
# Builds and runs every test: the layer check, the normal build, the sanitizer
# build, a short bounded run of every fuzz target, and the benchmarks as a
# build-only step. Each preset is configured and built once. Every stage
# prints its time ("== <stage>: N s"); the output closes with the times and
# then ctest's own summary lines of both test runs. Exits non-zero when any
# stage fails; the stages that do not depend on a failed one still run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
started=$SECONDS
times=()
failed=()

# stage <name> <command...>: runs the command as one stage. The command's
# steps are chained with && (errexit does not apply inside a condition).
stage() {
  local name="$1" t0=$SECONDS rc=0
  shift
  echo "== $name"
  "$@" || rc=$?
  local took=$((SECONDS - t0)) note=""
  [ $rc -eq 0 ] || { note=" (FAILED, exit $rc)"; failed+=("$name"); }
  times+=("$(printf '%-16s %5d s%s' "$name" "$took" "$note")")
  echo "== $name: $took s$note"
  return $rc
}

build() {  # build <preset> [target]
  cmake --preset "$1" >/dev/null &&
    cmake --build --preset "$1" -j "$jobs" ${2:+--target "$2"}
}

# Names the files that drift from .clang-format (not a failure).
format_drift() {
  command -v clang-format >/dev/null 2>&1 || return 0
  local drift
  drift=$(git ls-files '*.cpp' '*.h' 2>/dev/null |
    xargs -r -P "$jobs" -n 16 sh -c \
      'for f; do clang-format --dry-run "$f" 2>&1 | grep -q . && echo "$f"; done; true' sh |
    sort) || true
  if [ -n "$drift" ]; then printf 'clang-format: not formatted: %s\n' $drift; fi
  return 0
}

# One fuzz target for TARN_FUZZ_SECONDS, its log in build/fuzz/<name>.log.
fuzz_one() {
  local f="$1" name
  name=$(basename "$f")
  local corpus="build/fuzz/corpus/$name" log="build/fuzz/$name.log" seeds=() options=()
  mkdir -p "$corpus"
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  # Seeds the build writes and checks, and the options that fit the
  # target's input (its -max_len).
  [ -d "build/fuzz/seeds/$name" ] && seeds+=("build/fuzz/seeds/$name")
  [ -s "build/fuzz/seeds/$name.options" ] && read -r -a options <"build/fuzz/seeds/$name.options"
  if "$f" -max_total_time="$TARN_FUZZ_SECONDS" -print_final_stats=0 "${options[@]}" \
    "$corpus" "${seeds[@]}" 2>"$log"; then
    echo "-- $name ok"
  else
    printf -- '-- %s FAILED:\n%s\n' "$name" "$(tail -n 40 "$log")"
    return 1
  fi
}

# Every fuzz target at once, at most one per processor.
run_fuzzers() {
  export TARN_FUZZ_SECONDS=${TARN_FUZZ_SECONDS:-10}
  # Fuzzed code may log; keep its logs inside the build tree, and its
  # tracing off.
  export TARN_ROOT="$PWD/build/fuzz/root"
  unset VEKDBG VEKOPTS
  while IFS= read -r d; do mkdir -p "$TARN_ROOT/$d"; done <testsupport/layout.txt
  export -f fuzz_one
  local list
  list=$(find build/fuzz -type f -name 'fuzz_*' -perm -u+x | sort)
  [ -n "$list" ] || { echo "no fuzz targets built"; return 1; }
  echo "fuzz targets: $(wc -l <<<"$list"), ${TARN_FUZZ_SECONDS}s each, $jobs at a time"
  xargs -P "$jobs" -n 1 bash -c 'fuzz_one "$1"' fuzz_one <<<"$list"
}

run_tests() {  # run_tests <preset>: ctest, its output also kept for the closing summary
  ctest --preset "$1" -j "$jobs" 2>&1 | tee "build/$1/ctest.log"
}

stage deps bash scripts/deps.sh || exit 1
stage layers bash scripts/check_layers.sh || true
stage format format_drift || true

built=()
stage "normal build" build normal && built+=(normal)
stage "sanitize build" build sanitize && built+=(sanitize)
# Benchmarks are measured by hand; CI only keeps them building.
stage "bench build" build bench bench/all || true
if command -v clang++ >/dev/null 2>&1; then
  stage "fuzz build" build fuzz && { stage "fuzz runs" run_fuzzers || true; }
fi
# The test runs come last, so that their summaries close the output.
for preset in "${built[@]}"; do
  stage "$preset tests" run_tests "$preset" || true
done

echo "== stage times"
printf '   %s\n' "${times[@]}"
echo "== total: $((SECONDS - started)) s"
for preset in normal sanitize; do
  log="build/$preset/ctest.log"
  if [[ " ${built[*]} " == *" $preset "* ]] && [ -f "$log" ]; then
    echo "== $preset tests summary"
    sed -n '/tests passed, /,$p' "$log"
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "== FAILED: ${failed[*]}"
  exit 1
fi
