#!/usr/bin/env bash
# Lists the pairs of source units that include each other, and fails when
# there is one. A unit is a header with its source file (a.h and a.cpp are
# one unit), so a.cpp including b.h while b.cpp includes a.h is such a pair:
# neither can be read, built or replaced without the other.
#
#   scripts/check_include_pairs.sh [folder...]   default: every top folder of
#                                                the tree but build directories
#
# Only the project's own includes count ("folder/file.h" from the tree's root).
set -euo pipefail
cd "$(dirname "$0")/.."

folders=("$@")
if [ ${#folders[@]} -eq 0 ]; then
  for d in */; do
    d=${d%/}
    # A build directory holds generated and third-party sources.
    [ -e "$d/CMakeCache.txt" ] || [[ $d == build* ]] || folders+=("$d")
  done
fi
existing=()
for f in "${folders[@]}"; do
  if [ -d "$f" ]; then existing+=("$f"); else echo "check_include_pairs: no folder $f" >&2; exit 2; fi
done

# One line per include between two different units: "includer included".
edges=$(grep -rHE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+"' \
          --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.c' "${existing[@]}" |
        sed -E 's/^([^:]+):[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1 \2/' |
        awk '{ a = $1; b = $2; sub(/\.[^.\/]+$/, "", a); sub(/\.[^.\/]+$/, "", b); if (a != b) print a, b }' |
        sort -u)

# A pair is an edge whose reverse is an edge too; each pair is listed once.
pairs=$(printf '%s\n' "$edges" | awk 'NF == 2 { seen[$1 " " $2] = 1 }
  END { for (e in seen) { split(e, p, " "); if (p[1] < p[2] && ((p[2] " " p[1]) in seen)) print p[1] " <-> " p[2] } }' |
  sort)

echo "== include pairs in: ${existing[*]}"
if [ -n "$pairs" ]; then
  sed 's/^/  /' <<<"$pairs"
  echo "units that include each other: split the shared part into a unit of its own" >&2
  exit 1
fi
echo "  none"
