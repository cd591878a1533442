#!/usr/bin/env bash
# Installs what the build needs (Debian 12), builds, and then either runs the
# main job or every test.
#   scripts/quickstart.sh run     install the Linux runtime's packages, build only it,
#                                 show a live panel on a simulated terminal
#   scripts/quickstart.sh test    install every package, build every part, run every test
#                                 (unit, integration, qt, faults, wine, soak, fuzz), then
#                                 the sanitizer build and the fuzzers
#
# The packages are listed in scripts/packages/*.txt: run.txt for `run`, all
# of them for `test`. `test` configures with ORVA_REQUIRE_ALL (a part that
# cannot be built stops the configure, naming its packages) and with warnings
# as errors, and fails when a label of scripts/expected-labels.txt ran no test.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-run}
shift || true
build_dir=${ORVA_BUILD_DIR:-build}
jobs=${ORVA_JOBS:-$(nproc)}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# The package names of the given lists: one a line, '#' starts a comment.
read_lists() { sed -e 's/#.*//' -e 's/[[:space:]]//g' "$@" | grep -v '^$' | sort -u; }

install_packages() {
  local lists=("$@") packages=() missing=() p
  mapfile -t packages < <(read_lists "${lists[@]}")
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  # The Windows part's packages include 32-bit Wine (wine32:i386).
  local list
  for list in "${lists[@]}"; do
    if [ "$(basename "$list")" = windows.txt ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
      as_root dpkg --add-architecture i386
    fi
  done
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

configure() {
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$build_dir/configure.log" 2>&1 || {
    cat "$build_dir/configure.log" >&2
    echo "configure failed (log: $build_dir/configure.log)" >&2
    return 1
  }
}

# After ctest: the number of tests per label, and a failure for every
# expected label that ran none (a part silently left out).
check_labels() {
  local log=$1 label count status=0
  echo "== tests per label"
  mapfile -t expected < <(read_lists scripts/expected-labels.txt)
  for label in "${expected[@]}"; do
    count=$(awk -v l="$label" '$1 == l && $2 == "=" { sub(/\(/, "", $5); print $5 }' "$log" | tail -n1)
    count=${count:-0}
    printf '  %-12s %s\n' "$label" "$count"
    if [ "$count" -eq 0 ]; then
      echo "label '$label' ran no test" >&2
      status=1
    fi
  done
  return $status
}

case "$mode" in
  run)
    install_packages scripts/packages/run.txt
    mkdir -p "$build_dir"
    # Only the Linux runtime: no Windows control, no tests, no benchmarks,
    # and of the programs only the hosts (or the demo without Qt).
    configure -DORVA_WITH_WINDOWS=OFF -DORVA_BUILD_TESTS=OFF -DORVA_BUILD_BENCH=OFF -DORVA_REQUIRE_ALL=OFF
    if grep -q 'Linux runtime: Qt' "$build_dir/configure.log"; then
      cmake --build "$build_dir" -j"$jobs" --target orva-monitor orva-panel orva-sim
    else
      grep -A3 'Linux runtime is not built' "$build_dir/configure.log" >&2 || true
      cmake --build "$build_dir" -j"$jobs" --target orva-demo
    fi
    if [ -x "$build_dir/tools/orva-monitor" ]; then
      exec "$build_dir/tools/orva-monitor" --simulate "$@"
    fi
    exec "$build_dir/tools/orva-demo" "$@"
    ;;
  test)
    install_packages scripts/packages/*.txt
    mkdir -p "$build_dir"
    configure -DORVA_WITH_WINDOWS=ON -DORVA_BUILD_TESTS=ON -DORVA_BUILD_BENCH=ON \
      -DORVA_REQUIRE_ALL=ON -DORVA_WARNINGS_AS_ERRORS=ON
    cmake --build "$build_dir" -j"$jobs"
    log=$build_dir/ctest.log
    status=0
    (cd "$build_dir" && ctest --output-on-failure -j"$jobs" --timeout 900 "$@") 2>&1 | tee "$log" || status=1
    if [ $# -eq 0 ]; then
      check_labels "$log" || status=1
      # Fuzzing and the sanitizer build run after the ordinary tests.
      if [ $status -eq 0 ]; then scripts/hardening.sh || status=1; fi
    fi
    exit $status
    ;;
  *)
    echo "usage: $0 run|test [arguments]" >&2
    exit 2
    ;;
esac
