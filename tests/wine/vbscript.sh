#!/usr/bin/env bash
# The script host smoke test for both builds: the 32-bit control through the
# 32-bit cscript, the 64-bit one through the 64-bit cscript.
#   vbscript.sh WORKDIR OCX32 OCX64
source "$(dirname "$0")/common.sh"
work=$1 ocx32=$2 ocx64=$3
here=$(cd "$(dirname "$0")" && pwd)
wine_setup "$work" none
cp "$ocx32" "$work/ActiveX_ORVA32.ocx"
cp "$ocx64" "$work/ActiveX_ORVA64.ocx"
cp "$here/smoke.vbs" "$work/smoke.vbs"
script=$(winepath -w "$work/smoke.vbs")
failures=0
run() {
  local arch=$1 wine_cmd=$2 regsvr=$3 ocx=$4 rc
  "$wine_cmd" "$regsvr" /s "$(winepath -w "$ocx")" >/dev/null 2>&1
  set +e
  "$wine_cmd" cscript //nologo "$script" >"$work/$arch.out" 2>&1
  rc=$?
  set -e
  tr -d '\r' <"$work/$arch.out"
  echo "cscript ($arch): exit $rc"
  # The script host exits 0 on a script error: only the last line counts.
  if [ $rc -ne 0 ] || ! tr -d '\r' <"$work/$arch.out" | grep -qx 'smoke: 0 failure(s)'; then
    failures=$((failures + 1))
  fi
}
run 32-bit "$WINE32" 'C:\windows\syswow64\regsvr32.exe' "$work/ActiveX_ORVA32.ocx"
run 64-bit "$WINE64" 'C:\windows\system32\regsvr32.exe' "$work/ActiveX_ORVA64.ocx"
exit $failures
