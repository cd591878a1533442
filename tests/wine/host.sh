#!/usr/bin/env bash
# The C++ test host under Wine for one architecture: a fresh prefix with a
# display, the control registered, a simulated terminal on COM1, then every
# GoogleTest case of the host.
#   host.sh WORKDIR ARCH OCX_BUILD_DIR      (ARCH: i686 or x86_64)
source "$(dirname "$0")/common.sh"
work=$1 arch=$2 build=$3
here=$(cd "$(dirname "$0")" && pwd)
started=$SECONDS
wine_setup "$work" display

if [ "$arch" = i686 ]; then
  wine_cmd=$WINE32
  regsvr='C:\windows\syswow64\regsvr32.exe'
else
  wine_cmd=$WINE64
  regsvr='C:\windows\system32\regsvr32.exe'
fi
cp "$build/ActiveX_ORVA.ocx" "$work/ActiveX_ORVA.ocx"
cp "$build/tests/wine/orva_wine_host.exe" "$work/orva_wine_host.exe"
"$wine_cmd" "$regsvr" /s "$(winepath -w "$work/ActiveX_ORVA.ocx")" >"$work/regsvr.log" 2>&1

# The terminal: COM1 of the prefix is its pseudo-terminal.
weight_file=$work/weight.txt
printf '  0.000' >"$weight_file"
rm -f "$WINEPREFIX/dosdevices/com1"
python3 "$here/terminal.py" "$WINEPREFIX/dosdevices/com1" "$weight_file" >"$work/terminal.log" 2>&1 &
terminal_pid=$!
trap 'status=$?; set +e; kill $terminal_pid 2>/dev/null; (exit $status); wine_cleanup' EXIT
for _ in $(seq 50); do [ -L "$WINEPREFIX/dosdevices/com1" ] && break; sleep 0.1; done

export ORVA_OCX ORVA_TERMINAL_FILE ORVA_SCREENSHOT
ORVA_SCREENSHOT=$(winepath -w "$work/panel.bmp")
ORVA_OCX=$(winepath -w "$work/ActiveX_ORVA.ocx")
ORVA_TERMINAL_FILE=$(winepath -w "$weight_file")
export WINEDEBUG=-all
set +e
"$wine_cmd" "$work/orva_wine_host.exe" "$@" 2>"$work/host.stderr"
rc=$?
set -e
echo "host ($arch): exit $rc, $((SECONDS - started)) s including prefix"
[ $rc -eq 0 ] || tail -20 "$work/host.stderr"
exit $rc
