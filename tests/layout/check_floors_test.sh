#!/usr/bin/env bash
# The floor check on small trees of its own: each case plants one include
# (or one line of the table) and expects the check to pass or to fail naming
# what it found. A check that let a back-up include through, or kept a stale
# exception, would pass the real tree just the same.
#   check_floors_test.sh WORKDIR
set -euo pipefail
check=$(cd "$(dirname "$0")/../../scripts" && pwd)/check_floors.sh
work=${1:-$(mktemp -d)}
failures=0

# A tree of three floors, a program folder and a loose one; "$2" is appended to the
# table, "$3" ("file:include") is added to the tree; "$4" is pass, fail
# (exit 1: the floors are broken) or unreadable (exit 2: the table is).
run_case() {
  local name=$1 table_extra=$2 plant=$3 expect=$4 says=$5
  local tree=$work/$name
  rm -rf "$tree"
  mkdir -p "$tree/scripts" "$tree/low" "$tree/mid/side" "$tree/top" "$tree/loose"
  cp "$check" "$tree/scripts/"
  printf '%s\n' "floor low  lib_low" "floor mid  lib_mid  low" "floor mid/side  lib_side  mid" \
    "floor top  -  *" "floor loose -  low" "$table_extra" >"$tree/scripts/floors.txt"
  echo '#pragma once' >"$tree/low/a.h"
  printf '#include "low/a.h"\n' >"$tree/mid/b.h"
  printf '#include "mid/b.h"\n#include "c.h"\n' >"$tree/mid/b.cpp"
  echo '#pragma once' >"$tree/mid/c.h"
  printf '#include "mid/side/s.h"\n#include "low/a.h"\n#include <vector>\n#include "generated/none.h"\n' >"$tree/top/t.cpp"
  echo '#pragma once' >"$tree/mid/side/s.h"
  echo '#pragma once' >"$tree/loose/l.h"
  if [ -n "$plant" ]; then
    mkdir -p "$(dirname "$tree/${plant%%:*}")"
    printf '#include "%s"\n' "${plant#*:}" >>"$tree/${plant%%:*}"
  fi
  local out rc=0
  out=$(bash "$tree/scripts/check_floors.sh" 2>&1) || rc=$?
  if [ "$expect" = pass ] && [ $rc -ne 0 ]; then
    echo "FAIL $name: refused a sound tree"; echo "$out"; failures=$((failures + 1))
  elif [ "$expect" = fail ] && [ $rc -ne 1 ]; then
    echo "FAIL $name: exit $rc, not 1"; echo "$out"; failures=$((failures + 1))
  elif [ "$expect" = unreadable ] && [ $rc -ne 2 ]; then
    echo "FAIL $name: exit $rc, not 2"; echo "$out"; failures=$((failures + 1))
  elif ! grep -qF -- "$says" <<<"$out"; then
    echo "FAIL $name: does not say \"$says\""; echo "$out"; failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

#        case               table line                 planted include          expect  output names
run_case sound              ""                         ""                       pass    "mid/side           lib_side           on low mid"
run_case back_up            ""                         "low/a.h:mid/b.h"        fail    "low/a.h -> mid/b.h (low does not stand on mid)"
run_case back_up_dotted     ""                         "low/a.h:../mid/c.h"     fail    "low/a.h -> mid/c.h (low does not stand on mid)"
run_case beside_includer    ""                         "mid/b.cpp:side/s.h"     fail    "mid/b.cpp -> mid/side/s.h (mid does not stand on mid/side)"
run_case into_subfloor      ""                         "mid/b.cpp:mid/side/s.h" fail    "mid/b.cpp -> mid/side/s.h (mid does not stand on mid/side)"
run_case sideways           ""                         "loose/l.h:mid/c.h"      fail    "loose/l.h -> mid/c.h (loose does not stand on mid)"
run_case into_programs      ""                         "mid/c.h:top/t.cpp"      fail    "mid/c.h -> top/t.cpp (mid does not stand on top)"
run_case known_exception    "allow low/a.h mid"        "low/a.h:mid/c.h"        pass    "low/a.h -> mid/c.h"
run_case exception_too_wide "allow low/a.h mid/side"   "low/a.h:mid/c.h"        fail    "low/a.h -> mid/c.h (low does not stand on mid)"
run_case stale_exception    "allow low mid"            ""                       fail    "no longer needed: allow low mid"
run_case no_floor           ""                         "orphan/o.cpp:low/a.h"   fail    "orphan/o.cpp"
run_case unknown_floor      "floor odd - nowhere"      ""                       unreadable   "odd stands on nowhere, which is no floor"

[ $failures -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
