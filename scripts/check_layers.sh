#!/usr/bin/env bash
# Layer check: every #include of the tree against the table of allowed
# directions (cmake/layers.txt). Fails, naming file and line, when
#   - a layer includes a header of a layer it may not (a lower layer includes a
#     higher one, or two layers beside each other),
#   - product code includes a stand-in header (platform/) or test code,
#   - a stand-in includes a product header,
#   - a product source lies in no folder of the table, or the table is wrong
#     (unknown folder, a row that leads back to itself).
# An include is matched to the file it names: first beside the including file,
# else any file of the tree whose path ends in it ("cmn/ctx.h" is
# lib/cmn/ctx.h). Includes that name no file of the tree (system headers) are
# not checked.
#
# Usage: check_layers.sh [--root DIR] [--table FILE]
#   --root   the source tree (default: this script's tree)
#   --table  the table (default: <root>/cmake/layers.txt)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
table=""
while [ $# -gt 0 ]; do
  case "$1" in
    --root) root="$2"; shift 2 ;;
    --table) table="$2"; shift 2 ;;
    *) echo "usage: $0 [--root DIR] [--table FILE]" >&2; exit 2 ;;
  esac
done
root="$(cd "$root" && pwd)"
[ -n "$table" ] || table="$root/cmake/layers.txt"
[ -f "$table" ] || { echo "layers: no table $table" >&2; exit 2; }
table="$(cd "$(dirname "$table")" && pwd)/$(basename "$table")"
cd "$root"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The sources: git's view of the tree when it is a checkout (tracked and new,
# not ignored), else every source file outside build trees.
if [ "$(git rev-parse --show-toplevel 2>/dev/null || true)" = "$root" ]; then
  git ls-files --cached --others --exclude-standard -- \
    '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' '*.inc' >"$work/all"
  # Files deleted but not yet staged are still listed; keep those that exist.
  while IFS= read -r f; do [ -f "$f" ] && printf '%s\n' "$f"; done <"$work/all" >"$work/files"
else
  find . \( -name .git -o -path ./build -o -path './build-*' \) -prune -o -type f \
    \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \
    -o -name '*.inc' \) -print | sed 's|^\./||' | sort >"$work/files"
fi

: >"$work/includes"
if [ -s "$work/files" ]; then
  tr '\n' '\0' <"$work/files" |
    xargs -0 grep -HnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"][^">]+[">]' \
      >"$work/includes" || true
fi

awk -v tablename="${table#"$root"/}" '
function dirname(p,   i) { i = match(p, /\/[^\/]*$/); return i ? substr(p, 1, i - 1) : "" }
function basename(p) { sub(/.*\//, "", p); return p }
function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
# "a/./b/../c" to "a/c"; "" when it leaves the tree.
function normalize(p,   n, parts, out, k, i) {
  n = split(p, parts, "/"); k = 0
  for (i = 1; i <= n; i++) {
    if (parts[i] == "" || parts[i] == ".") continue
    if (parts[i] == "..") { if (k == 0) return ""; k--; continue }
    out[++k] = parts[i]
  }
  p = ""
  for (i = 1; i <= k; i++) p = p (i > 1 ? "/" : "") out[i]
  return p
}
# The table folder that holds path (the longest), or "".
function owner(path,   p) {
  for (p = dirname(path); p != ""; p = dirname(p)) if (p in row) return p
  return ""
}
function kind(path,   top) {
  top = path; sub(/\/.*/, "", top)
  if (top == "platform") return "standin"
  if (top == "testsupport" || top == "e2e" || top == "bench" || top == "fuzz") return "support"
  if (path ~ /(^|\/)(test|fuzz)\//) return "test"
  return "product"
}
function fail(msg) { print "layers: " msg; failures++ }
# Why src may not include dst, or "".
function verdict(src, dst,   sk, dk, so, dO) {
  sk = kind(src); dk = kind(dst); so = owner(src); dO = owner(dst)
  if (sk == "support") return ""
  if (sk == "standin") return dO != "" && dk != "standin" ? "a stand-in includes product code (" dO ")" : ""
  if (sk == "product" && dk == "standin") return "product code includes a stand-in header"
  if (sk == "product" && (dk == "support" || dk == "test")) return "product code includes test code"
  if (dO == "" || dO == so || (so SUBSEP dO) in allowed) return ""
  if (so == "") return ""   # reported once per file as outside the table
  return so " may not include " dO " (" tablename ")"
}
# Everything a folder may include: its row, followed through.
function reach(f,   stack, top, n, d, i, cur) {
  top = 0; n = split(deps[f], d, " ")
  for (i = 1; i <= n; i++) stack[++top] = d[i]
  while (top > 0) {
    cur = stack[top--]
    if ((f SUBSEP cur) in allowed) continue
    allowed[f, cur] = 1
    n = split(deps[cur], d, " ")
    for (i = 1; i <= n; i++) stack[++top] = d[i]
  }
}

part == 1 {
  line = $0; sub(/#.*/, "", line)
  if (line ~ /^[ \t]*$/) next
  if (index(line, ":") == 0) { fail(tablename ":" FNR ": expected \"<folder>: <folders>\""); next }
  folder = trim(substr(line, 1, index(line, ":") - 1))
  if (folder in row) fail(tablename ":" FNR ": " folder " has a second row")
  row[folder] = FNR; order[++rows] = folder
  deps[folder] = trim(substr(line, index(line, ":") + 1)); gsub(/[ \t]+/, " ", deps[folder])
  next
}

# The table read, check it and follow its rows through, once.
function settle(   i, j, n, f, d) {
  if (settled++) return
  for (i = 1; i <= rows; i++) {
    f = order[i]; n = split(deps[f], d, " ")
    for (j = 1; j <= n; j++)
      if (!(d[j] in row)) fail(tablename ":" row[f] ": " f " names " d[j] ", which has no row")
  }
  for (i = 1; i <= rows; i++) {
    f = order[i]; reach(f)
    if ((f SUBSEP f) in allowed) fail(tablename ":" row[f] ": " f " leads back to itself")
  }
}

part == 2 {
  settle()
  files[$0] = 1; checked++
  named[basename($0)] = named[basename($0)] "\n" $0
  if (kind($0) != "standin" && kind($0) != "support" && owner($0) == "")
    fail($0 ": in no folder of " tablename)
  next
}

part == 3 {
  settle()
  c1 = index($0, ":"); src = substr($0, 1, c1 - 1); rest = substr($0, c1 + 1)
  c2 = index(rest, ":"); lineno = substr(rest, 1, c2 - 1); text = substr(rest, c2 + 1)
  if (!match(text, /[<"][^">]+[">]/)) next
  inc = substr(text, RSTART + 1, RLENGTH - 2)
  angle = substr(text, RSTART, 1) == "<"
  if (angle && index(inc, "/") == 0) next
  includes++
  # Beside the including file first, as the compiler looks for "..." includes.
  if (!angle) {
    beside = normalize((dirname(src) == "" ? "" : dirname(src) "/") inc)
    if (beside in files) {
      why = verdict(src, beside)
      if (why != "") fail(src ":" lineno ": includes \"" inc "\" (" beside "): " why)
      next
    }
  }
  # Else any file of the tree that ends in the included path. When several
  # do, the include passes if one of them may be included.
  n = split(named[basename(inc)], cand, "\n"); found = ""; why = ""
  for (i = 1; i <= n; i++) {
    f = cand[i]
    if (f == "" || !(f == inc || substr(f, length(f) - length(inc)) == "/" inc)) continue
    w = verdict(src, f)
    if (w == "") { found = f; why = ""; break }
    if (found == "") { found = f; why = w }
  }
  if (why != "") fail(src ":" lineno ": includes \"" inc "\" (" found "): " why)
  next
}

END {
  settle()
  if (failures > 0) { print "layers: " failures " violation(s)"; exit 1 }
  print "layers: " checked " files, " includes " includes, " rows " layers: no violation"
}
' part=1 "$table" part=2 "$work/files" part=3 "$work/includes"
