#!/usr/bin/env bash
# Builds and runs every test: the normal build, the sanitizer build, and a short
# bounded run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

for preset in normal sanitize; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset tests"
  ctest --preset "$preset" -j "$jobs"
done

# The tree follows .clang-format; files that drift are named (not a failure).
if command -v clang-format >/dev/null 2>&1; then
  drift=$(git ls-files '*.cpp' '*.h' 2>/dev/null | while read -r f; do
    clang-format --dry-run "$f" 2>&1 | grep -q . && echo "$f"; done || true)
  if [ -n "$drift" ]; then printf 'clang-format: not formatted: %s\n' $drift; fi
fi

# Benchmarks are measured by hand; CI only keeps them building.
echo "== bench build"
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$jobs"

if command -v clang++ >/dev/null 2>&1; then
  echo "== fuzz targets"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  secs=${TARN_FUZZ_SECONDS:-10}
  # Fuzzed code may log; keep its logs inside the build tree.
  export TARN_ROOT="$PWD/build/fuzz/root"
  while IFS= read -r d; do mkdir -p "$TARN_ROOT/$d"; done <testsupport/layout.txt
  found=0
  while IFS= read -r f; do
    found=$((found + 1))
    name=$(basename "$f")
    corpus="build/fuzz/corpus/$name"
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
    # Seeds the build produces (the compiled message catalogue, for one).
    [ -d "build/fuzz/seeds/$name" ] && seeds+=("build/fuzz/seeds/$name")
    echo "-- $name (${secs}s)"
    "$f" -max_total_time="$secs" -print_final_stats=0 "$corpus" "${seeds[@]}" 2>build/fuzz/"$name".log \
      || { tail -n 40 build/fuzz/"$name".log; exit 1; }
  done < <(find build/fuzz -type f -name 'fuzz_*' -perm -u+x | sort)
  echo "fuzz targets run: $found"
fi
