#!/usr/bin/env bash
# Measures the live poll cycle: orva-monitor --json polling orva-sim on a
# pseudo-terminal for N decodes. Reports, from the monitor's Decode lines and
# /proc: the decode-to-decode period's deviation from 400 ms (median, p99,
# max; the decode's own time is inside it), the monitor's CPU time per 1000
# cycles and as a share of one core while polling, and its peak RSS.
#   bench/poll_bench.sh [CYCLES] [BUILD_DIR]      (defaults: 300 build-linux)
# Targets: median deviation <= 2 ms, p99 <= 10 ms, CPU <= 0.1 % of one core.
set -euo pipefail
cd "$(dirname "$0")/.."

cycles=${1:-300}
build=${2:-build-linux}
tools=$build/tools
for tool in orva-monitor orva-sim; do
  [ -x "$tools/$tool" ] || { echo "poll_bench: $tools/$tool not built" >&2; exit 2; }
done
[ "$cycles" -ge 20 ] || { echo "poll_bench: at least 20 cycles" >&2; exit 2; }

work=$(mktemp -d)
sim_pid=""
mon_pid=""
cleanup() {
  [ -n "$mon_pid" ] && kill "$mon_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The simulator runs in its own process, so the monitor's figures are its own.
"$tools/orva-sim" --loading --link "$work/tty" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 50); do [ -e "$work/tty" ] && break; sleep 0.1; done
[ -e "$work/tty" ] || { echo "poll_bench: the simulator did not start" >&2; cat "$work/sim.err" >&2; exit 1; }

"$tools/orva-monitor" --com "1=$work/tty" --json >"$work/out.jsonl" 2>"$work/mon.err" &
mon_pid=$!

decodes() { grep -c '"event":"Decode"' "$work/out.jsonl" 2>/dev/null || true; }
# CPU time in nanoseconds: schedstat counts exactly; stat only in clock ticks.
cpu_ns() {
  if [ -r "/proc/$mon_pid/schedstat" ]; then awk '{print $1}' "/proc/$mon_pid/schedstat"
  else awk -v hz="$(getconf CLK_TCK)" '{printf "%.0f\n", ($14 + $15) * 1e9 / hz}' "/proc/$mon_pid/stat"; fi
}
wait_for() { while [ "$(decodes)" -lt "$1" ]; do kill -0 "$mon_pid" 2>/dev/null || { echo "poll_bench: the monitor ended" >&2; cat "$work/mon.err" >&2; exit 1; }; sleep 0.2; done; }

# Start-up (Qt, the first open of the port) is not polling: measure from decode 5.
warmup=5
wait_for "$warmup"
ns0=$(cpu_ns)
t0=$(date +%s.%N)
echo "poll_bench: $cycles cycles, about $((cycles * 2 / 5)) s ..." >&2
wait_for "$((warmup + cycles))"
ns1=$(cpu_ns)
t1=$(date +%s.%N)
hwm_kb=$(awk '/^VmHWM:/ {print $2}' "/proc/$mon_pid/status")
kill -TERM "$mon_pid"
wait "$mon_pid" || true
mon_pid=""

grep '"event":"Decode"' "$work/out.jsonl" | sed 's/^{"t_ms":\([0-9]*\),.*/\1/' |
  awk -v skip="$warmup" -v n="$cycles" 'NR > skip && NR <= skip + n + 1 { if (prev != "") print $1 - prev - 400; prev = $1 } NR == skip { prev = $1 }' |
  sort -n >"$work/dev.txt"

count=$(wc -l <"$work/dev.txt")
pick() { awk -v q="$1" -v n="$count" 'BEGIN { i = int(q * (n - 1) + 0.5) + 1 } NR == i { print; exit }' "$work/dev.txt"; }
median=$(pick 0.5)
p99=$(pick 0.99)
max=$(tail -n 1 "$work/dev.txt")
min=$(head -n 1 "$work/dev.txt")
awk -v t0="$t0" -v t1="$t1" -v k0="$ns0" -v k1="$ns1" -v n="$cycles" -v med="$median" \
    -v p99="$p99" -v min="$min" -v max="$max" -v hwm="$hwm_kb" -v count="$count" 'BEGIN {
  cpu = (k1 - k0) / 1e9; wall = t1 - t0
  printf "cycles measured           %d (periods %d)\n", n, count
  printf "period deviation from 400 ms: median %d ms, p99 %d ms, min %d ms, max %d ms\n", med, p99, min, max
  printf "CPU                        %.3f s over %.1f s = %.3f s per 1000 cycles, %.4f %% of one core\n", cpu, wall, cpu / n * 1000, 100 * cpu / wall
  printf "peak RSS                   %.1f MiB\n", hwm / 1024
  printf "targets: median <= 2 ms %s, p99 <= 10 ms %s, CPU <= 0.1 %% %s\n", (med <= 2 ? "met" : "MISSED"), (p99 <= 10 ? "met" : "MISSED"), (100 * cpu / wall <= 0.1 ? "met" : "MISSED")
}'
