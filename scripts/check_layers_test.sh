#!/usr/bin/env bash
# Test of the layer check (check_layers.sh) on a small tree of its own: a clean
# tree passes, and each kind of violation fails with its file, line and reason.
set -uo pipefail
check="$(cd "$(dirname "$0")" && pwd)/check_layers.sh"
tree="$(mktemp -d)"
trap 'rm -rf "$tree"' EXIT
failed=0

put() {  # put <path> <line>...: writes a file of the tree
  mkdir -p "$tree/$(dirname "$1")"
  local path="$1"; shift
  printf '%s\n' "$@" >"$tree/$path"
}
remove() { rm -f "$tree/$1"; }

# expect <pass|fail> <case> [text the output must contain]
expect() {
  local want="$1" name="$2" text="${3:-}" out rc
  out="$(bash "$check" --root "$tree" 2>&1)"; rc=$?
  if { [ "$want" = pass ] && [ $rc -ne 0 ]; } || { [ "$want" = fail ] && [ $rc -ne 1 ]; }; then
    echo "FAIL $name: expected $want, exit $rc"; echo "$out"; failed=1; return
  fi
  if [ -n "$text" ] && ! grep -qF -- "$text" <<<"$out"; then
    echo "FAIL $name: output lacks: $text"; echo "$out"; failed=1; return
  fi
  echo "ok   $name"
}

put cmake/layers.txt '# a comment' 'lib/low:' 'lib/mid:  lib/low   # trailing comment' \
  'lib/top: lib/mid' 'lib/mid/sub: lib/low'
put lib/low/low.h '#pragma once'
put lib/low/low.cpp '#include "low/low.h"' '#include <string>' '#include <sys/types.h>'
put lib/mid/mid.h '#pragma once' '#include "low/low.h"'
put lib/mid/mid.cpp '#include "mid.h"'
put lib/mid/sub/sub.h '#include "low/low.h"'
put lib/top/top.cpp '#include "mid/mid.h"' '#  include "low/low.h"'
put lib/mid/test/mid_test.cpp '#include "mid/mid.h"' '#include "stub/stub.h"' '#include "harness.h"'
put platform/stub/stub.h '#pragma once'
put platform/stub/stub.cpp '#include "stub/stub.h"' '#include "harness.h"'
put testsupport/harness.h '#pragma once'
put e2e/road.cpp '#include "top/top.h"' '#include "stub/stub.h"'
expect pass "clean tree, layers followed through, tests may use stand-ins"

put lib/low/bad.cpp '#include <string>' '#include "mid/mid.h"'
expect fail "lower layer includes a higher one" \
  'lib/low/bad.cpp:2: includes "mid/mid.h" (lib/mid/mid.h): lib/low may not include lib/mid'
remove lib/low/bad.cpp

put lib/low/low.h '#pragma once' '#include <top/top.h>'
put lib/top/top.h '#pragma once'
expect fail "angle-bracket include of a higher layer" "lib/low may not include lib/top"
put lib/low/low.h '#pragma once'

put lib/mid/sub/sub.cpp '#include "../mid.h"'
expect fail "a subfolder with a row is a layer of its own" "lib/mid/sub may not include lib/mid"
remove lib/mid/sub/sub.cpp

put lib/low/test/low_test.cpp '#include "top/top.h"'
expect fail "a layer's tests follow its row" "lib/low may not include lib/top"
remove lib/low/test/low_test.cpp

put lib/mid/brand.cpp '#include "stub/stub.h"'
expect fail "product code includes a stand-in header" \
  'lib/mid/brand.cpp:1: includes "stub/stub.h" (platform/stub/stub.h): product code includes a stand-in header'
remove lib/mid/brand.cpp

put lib/mid/helper.cpp '#include "harness.h"'
put lib/mid/harness.h '#pragma once'
expect pass "an include beside the file is taken before one elsewhere"
remove lib/mid/harness.h
put lib/mid/helper.cpp '#include "test/mid_util.h"'
put lib/mid/test/mid_util.h '#pragma once'
expect fail "product code includes test code" "product code includes test code"
remove lib/mid/helper.cpp

put platform/stub/leak.cpp '#include "low/low.h"'
expect fail "a stand-in includes a product header" \
  "platform/stub/leak.cpp:1: includes \"low/low.h\" (lib/low/low.h): a stand-in includes product code (lib/low)"
remove platform/stub/leak.cpp

put lib/new/new.cpp '#include "low/low.h"'
expect fail "a product source in no folder of the table" "lib/new/new.cpp: in no folder of cmake/layers.txt"
remove lib/new/new.cpp

put cmake/layers.txt 'lib/low: lib/top' 'lib/mid: lib/low' 'lib/top: lib/mid' 'lib/mid/sub: lib/low'
expect fail "a row that leads back to itself" "lib/low leads back to itself"
put cmake/layers.txt 'lib/low:' 'lib/mid: lib/low lib/gone' 'lib/top: lib/mid' 'lib/mid/sub: lib/low'
expect fail "a row naming a folder without a row" "lib/mid names lib/gone, which has no row"
put cmake/layers.txt 'lib/low:' 'lib/mid lib/low' 'lib/top: lib/mid' 'lib/mid/sub: lib/low'
expect fail "a row without a colon" 'expected "<folder>: <folders>"'

exit $failed
