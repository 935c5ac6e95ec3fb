#!/usr/bin/env bash
# Static checks for developers: clang-format (reports files that differ from
# .clang-format) and clang-tidy with .clang-tidy over the product's sources,
# using the normal build's compile database. Pass file paths to check only
# those.
set -uo pipefail
cd "$(dirname "$0")/.."
[ -f build/normal/compile_commands.json ] || cmake --preset normal >/dev/null
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files -- 'lib/*.cpp' 'cs/*.cpp' 'integ/*.cpp' 'da/*.cpp' 'platform/*.cpp' \
                       | grep -vE '/(test|fuzz)/')
fi
status=0
for f in "${files[@]}"; do
  clang-format --dry-run "$f" 2>&1 | grep -q . && { echo "format: $f"; status=1; }
done
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p build/normal --quiet --extra-arg=-Wno-unknown-warning-option 2>/dev/null \
  | grep -E 'warning:|error:' || true
exit $status
