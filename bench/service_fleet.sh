#!/bin/sh
# The service benchmark: 100 simulated terminals on pseudo-terminals in one
# orva-service, measured side by side with the pyserial peer; then the same
# service with one Qt timer per control timer, to show what shared wake-ups
# save. Builds what it needs first. Takes about three minutes.
#   bench/service_fleet.sh [BUILD_DIR] [SECONDS]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
seconds=${2:-60}
cmake --build "$build" --target orva-service orva-sim-fleet -j2 >/dev/null
/usr/bin/python3 "$here/service_fleet.py" --build "$build" --scales 100 --seconds "$seconds"
echo
/usr/bin/python3 "$here/service_fleet.py" --build "$build" --scales 100 --seconds "$seconds" --own-timers --no-peer
