#!/usr/bin/env bash
# Checks that the vendor library exports exactly DB2's five entry points.
set -euo pipefail
lib="$1"
expected=$'sqluvdel\nsqluvend\nsqluvget\nsqluvint\nsqluvput'
actual="$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)"
if [[ "$actual" != "$expected" ]]; then
  echo "exported symbols of $lib:"
  echo "$actual"
  echo "expected:"
  echo "$expected"
  exit 1
fi
echo "libwren exports exactly: $(echo $actual)"
