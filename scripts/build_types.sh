#!/usr/bin/env bash
# Builds every part in each ordinary build type with GCC and with clang,
# warnings as errors, and reports which combinations build. Nothing is run.
#   scripts/build_types.sh [TYPE...]        default: Debug Release RelWithDebInfo MinSizeRel
#   ORVA_COMPILERS="g++ clang++"            the compilers to try
#   ORVA_WITH_WINDOWS=OFF                   leave the cross-built control out (it uses mingw-w64's g++ either way)
#   ORVA_JOBS=N                             parallel build jobs (default 2)
#   ORVA_CMAKE_ARGS="-DORVA_CORE_ONLY=ON"   more configure arguments
# Build directories: build-types/<compiler>-<type>.
set -uo pipefail
cd "$(dirname "$0")/.."

types=("$@")
[ ${#types[@]} -gt 0 ] || types=(Debug Release RelWithDebInfo MinSizeRel)
read -r -a compilers <<<"${ORVA_COMPILERS:-g++ clang++}"
windows=${ORVA_WITH_WINDOWS:-ON}
jobs=${ORVA_JOBS:-2}
status=0
for cxx in "${compilers[@]}"; do
  for type in "${types[@]}"; do
    dir=build-types/${cxx//+/x}-$type
    mkdir -p "$dir"
    started=$SECONDS
    if cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE="$type" \
         -DORVA_WARNINGS_AS_ERRORS=ON -DORVA_REQUIRE_ALL=ON -DORVA_WITH_WINDOWS="$windows" \
         ${ORVA_CMAKE_ARGS:-} >"$dir/configure.log" 2>&1 &&
       cmake --build "$dir" -j"$jobs" >"$dir/build.log" 2>&1; then
      echo "$cxx $type: builds ($((SECONDS - started)) s)"
    else
      echo "$cxx $type: FAILS (see $dir/configure.log, $dir/build.log)"
      grep -m5 -E 'error|Error' "$dir/configure.log" "$dir/build.log" | sed 's/^/    /'
      status=1
    fi
  done
done
exit $status
