#!/usr/bin/env bash
# The hardening run: the unit, integration and widget tests, the soak and the fuzz replays built with
# clang under AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz
# target run by libFuzzer for a bounded time. Exits non-zero on any failure
# or finding.
#
#   scripts/hardening.sh
#   ORVA_FUZZ_SECONDS=N     seconds per fuzz target (default 30; 0 skips fuzzing)
#   ORVA_FUZZ_SKIP="a b"    targets built and replayed but not fuzzed (default: none)
#   ORVA_HARDENING_DIR=dir  build directory (default build-asan)
#   ORVA_JOBS=N             parallel build and test jobs (default 2)
#
# A finding is left in <dir>/fuzz-findings/. Keep it as a regression input:
# copy it to fuzz/regressions/<target>/ under a name that says what broke;
# the fuzz.replay tests then replay it with every build.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${ORVA_HARDENING_DIR:-build-asan}
fuzz_seconds=${ORVA_FUZZ_SECONDS:-30}
fuzz_skip=${ORVA_FUZZ_SKIP-}
jobs=${ORVA_JOBS:-2}
started=$(date +%s)
elapsed() { echo "$(($(date +%s) - started)) s"; }

if ! command -v clang++ >/dev/null; then
  echo "hardening: clang++ is needed (Debian: clang libclang-rt-14-dev)" >&2
  exit 1
fi

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi

# Sanitizers on everything, failing at the first report. The libFuzzer
# coverage hooks go into all code as well, so that the fuzzers see inside the
# core; the other binaries carry them unused.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
configure() {
  cmake -S . -B "$build_dir" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="$sanitize -fsanitize=fuzzer-no-link" \
    -DORVA_BUILD_BENCH=OFF \
    "$@" >"$build_dir/configure.log" 2>&1
}
mkdir -p "$build_dir"
echo "== hardening: configure $build_dir (clang, ASan + UBSan)"
# The whole tree, so that the Linux hosts' property file loader is fuzzed
# too; without the Qt runtime when that part does not configure here.
if ! configure; then
  echo "hardening: the tree does not configure with the Qt runtime; going on without it" >&2
  tail -20 "$build_dir/configure.log" >&2
  rm -f "$build_dir/CMakeCache.txt"
  configure -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON || { cat "$build_dir/configure.log" >&2; exit 1; }
fi
# One line a target: its name and its seed corpus (relative to the tree).
declare -A corpus_of=()
targets=()
while read -r name corpus; do
  [ -n "$name" ] || continue
  targets+=("$name")
  corpus_of[$name]=$corpus
done <"$build_dir/fuzz-targets.txt"

build_targets=(orva_unit_tests orva_soak_tests)
labels='unit|soak|fuzz'
# The real-pty integration tests and the widget tests too, where the Qt runtime configured.
if grep -q 'Linux runtime: Qt' "$build_dir/configure.log"; then
  build_targets+=(orva_integration_tests orva_qt_tests orva-sim orva-monitor)
  labels="$labels|integration|qt"
fi
for t in "${targets[@]}"; do build_targets+=("orva_fuzz_replay_$t" "orva_fuzz_$t"); done
# Replays that other parts register under the "fuzz" label (the service's
# request handling, ...) are run below too, so they are built as well.
mapfile -t other_replays < <(cmake --build "$build_dir" --target help 2>/dev/null |
  grep -oE 'orva_fuzz_replay_[A-Za-z0-9_]+' | grep -v '_autogen' | sort -u)
for t in "${other_replays[@]}"; do
  case " ${build_targets[*]} " in *" $t "*) ;; *) build_targets+=("$t") ;; esac
done
echo "== hardening: build ${build_targets[*]}"
cmake --build "$build_dir" -j"$jobs" --target "${build_targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== hardening: built after $(elapsed); tests labelled $labels under the sanitizers"
(cd "$build_dir" && ctest --output-on-failure -L "^($labels)$" -j"$jobs" --timeout 600)

summary="$build_dir/fuzz-summary.txt"
: >"$summary"
status=0
if [ "$fuzz_seconds" -gt 0 ]; then
  mkdir -p "$build_dir/fuzz-findings"
  for t in "${targets[@]}"; do
    case " $fuzz_skip " in *" $t "*) echo "== hardening: $t replayed, not fuzzed (ORVA_FUZZ_SKIP)"; continue ;; esac
    seconds=$fuzz_seconds
    echo "== hardening: fuzz $t for ${seconds}s (at $(elapsed))"
    work="$build_dir/fuzz-corpus/$t"
    mkdir -p "$work"
    log="$build_dir/fuzz-$t.log"
    rc=0
    # One job only: the machine is shared. New inputs go to the work corpus;
    # the seeds and past findings are read, never written.
    inputs=("$work")
    for d in "${corpus_of[$t]}" "fuzz/regressions/$t"; do [ -d "$d" ] && inputs+=("$d"); done
    "$build_dir/orva_fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build_dir/fuzz-findings/$t-" "${inputs[@]}" >"$log" 2>&1 || rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    took=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | awk '{print $5}' | tail -1)
    line="fuzz $t: ${runs:-?} executions in ${took:-?} s, corpus $(find "$work" -type f | wc -l) inputs"
    if [ "$rc" -ne 0 ]; then
      status=1
      line="$line, FINDING (exit $rc): $(ls -t "$build_dir/fuzz-findings/$t-"* 2>/dev/null | head -1)"
      grep -E 'INVARIANT BROKEN|ERROR: |SUMMARY: ' "$log" | head -5 >&2 || true
    fi
    echo "$line" | tee -a "$summary"
  done
fi

echo "== hardening: $(elapsed) in all"
if [ "$status" -ne 0 ]; then
  echo "hardening: fuzzing found inputs that break an invariant; see $build_dir/fuzz-findings/" >&2
fi
exit "$status"
