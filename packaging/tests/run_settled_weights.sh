#!/usr/bin/env bash
# Runs the Linux example on the simulator for 4 s: it must print the
# simulator's weight as a settled weight; on a device that does not exist it
# must say so.
#   run_settled_weights.sh EXAMPLE ORVA_SIM WORKDIR
set -euo pipefail
example=$1 sim=$2 work=$3
"$sim" --weight 12.5 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
device=$(head -n1 "$work/sim.out")
"$example" "$device" 4 >"$work/example.out" 2>"$work/example.err"
cat "$work/example.out"
grep -qx 'settled 12.5' "$work/example.out" || { echo "FAIL: no settled 12.5"; cat "$work/example.err"; exit 1; }
# A device that does not exist: it says why rather than nothing at all.
"$example" "$work/no-such-device" 2 >"$work/missing.out" 2>"$work/missing.err" || true
grep -q "cannot open the port: No such device: $work/no-such-device" "$work/missing.err" ||
  { echo "FAIL: the example does not say why it reads nothing"; cat "$work/missing.err"; exit 1; }
