#!/usr/bin/env bash
# Prints the floors of the source tree (scripts/floors.txt) and fails when a
# source includes a header of a floor it does not stand on: an include
# running back up, or sideways between two floors that do not know each
# other. The known back-up includes of the table are listed apart; one that
# no longer occurs fails the check too, so that its line is removed.
#
#   scripts/check_floors.sh [TABLE]   default: scripts/floors.txt
#
# Only the project's own includes count: "folder/file.h" from the tree's
# root, or a file beside the including one. Generated and system headers
# are not in the tree and are left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
table=${1:-scripts/floors.txt}
[ -r "$table" ] || { echo "check_floors: no table $table" >&2; exit 2; }

folders=()
for d in */; do
  d=${d%/}
  # A build directory holds generated and third-party sources.
  [ -e "$d/CMakeCache.txt" ] || [[ $d == build* ]] || folders+=("$d")
done
sources=$(find "${folders[@]}" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.c' \) | sort)
# "file<TAB>included" for every quoted include.
includes=$(printf '%s\n' "$sources" | xargs grep -HE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+"' |
           sed -E 's/^([^:]+):[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1\t\2/' || true)

awk -F'\t' -v table="$table" '
function trim(s) { sub(/^[[:space:]]+/, "", s); sub(/[[:space:]]+$/, "", s); return s }
# path without "." and ".." steps
function normal(p,    n, i, k, part, out) {
  n = split(p, part, "/"); k = 0
  for (i = 1; i <= n; i++) {
    if (part[i] == "" || part[i] == ".") continue
    if (part[i] == "..") { if (k > 0) k--; continue }
    out[++k] = part[i]
  }
  p = ""
  for (i = 1; i <= k; i++) p = p (i > 1 ? "/" : "") out[i]
  return p
}
function under(path, folder) { return path == folder || index(path, folder "/") == 1 }
# the floor of a path: its nearest listed folder
function floor_of(path,    f, best) {
  best = ""
  for (f in target) if (under(path, f) && length(f) > length(best)) best = f
  return best
}
BEGIN {
  while ((getline line < table) > 0) {
    sub(/#.*/, "", line); n = split(trim(line), w, /[[:space:]]+/)
    if (n == 0) continue
    if (w[1] == "floor" && n >= 3) {
      order[++floors] = w[2]; target[w[2]] = w[3]; below[w[2]] = ""
      for (i = 4; i <= n; i++) below[w[2]] = below[w[2]] " " w[i]
    } else if (w[1] == "allow" && n == 3) {
      allow_from[++allows] = w[2]; allow_to[allows] = w[3]
    } else { print "check_floors: cannot read this line of " table ": " line > "/dev/stderr"; bad = 1; exit 2 }
  }
  # Each floor stands on the closure of what it names.
  for (i = 1; i <= floors; i++) {
    f = order[i]; split(trim(below[f]), direct, " ")
    for (d in direct) {
      if (direct[d] == "*") { everything[f] = 1; continue }
      if (!(direct[d] in target)) { print "check_floors: " f " stands on " direct[d] ", which is no floor" > "/dev/stderr"; bad = 1; exit 2 }
      on[f, direct[d]] = 1
    }
  }
  do {
    grew = 0
    for (a in target) for (b in target) if ((a, b) in on) for (c in target)
      if (((b, c) in on) && !((a, c) in on)) { on[a, c] = 1; grew = 1 }
  } while (grew)
}
NF == 1 { exists[$1] = 1; next }
NF == 2 {
  file = $1; inc = $2; dir = file; sub(/\/[^\/]*$/, "", dir)
  if ((dir "/" inc) in exists || normal(dir "/" inc) in exists) to = normal(dir "/" inc)
  else if (normal(inc) in exists) to = normal(inc)
  else next
  from_floor = floor_of(file); to_floor = floor_of(to)
  if (from_floor == "") { nofloor[file] = 1; next }
  if (to_floor == "") { nofloor[to] = 1; next }
  if (from_floor == to_floor || (from_floor in everything) || ((from_floor, to_floor) in on)) next
  for (i = 1; i <= allows; i++)
    if (under(file, allow_from[i]) && under(to, allow_to[i])) { used[i] = 1; known[file " -> " to] = 1; next }
  wrong[file " -> " to " (" from_floor " does not stand on " to_floor ")"] = 1
}
END {
  if (bad) exit 2
  print "== floors, bottom up (each stands on the ones listed)"
  for (i = 1; i <= floors; i++) {
    f = order[i]; list = ""
    if (f in everything) list = " everything"
    else for (j = 1; j <= floors; j++) if ((f, order[j]) in on) list = list " " order[j]
    printf "  %-18s %-18s%s\n", f, (target[f] == "-" ? "(programs)" : target[f]), (list == "" ? "" : " on" list)
  }
  print "== known back-up includes, to be removed"
  n = 0; for (k in known) { print "  " k | "sort"; n++ }; close("sort")
  if (n == 0) print "  none"
  fail = 0
  for (i = 1; i <= allows; i++) if (!(i in used)) {
    print "  no longer needed: allow " allow_from[i] " " allow_to[i] " (remove its line from " table ")"; fail = 1
  }
  print "== sources on no floor"
  n = 0; for (k in nofloor) { print "  " k | "sort"; n++ }; close("sort")
  if (n == 0) print "  none"; else fail = 1
  print "== includes running against the floors"
  n = 0; for (k in wrong) { print "  " k | "sort"; n++ }; close("sort")
  if (n == 0) print "  none"; else fail = 1
  if (fail) { print "the floors are broken: move the code to the floor it belongs on, or correct " table > "/dev/stderr"; exit 1 }
}' <(printf '%s\n' "$sources") <(printf '%s\n' "$includes")
