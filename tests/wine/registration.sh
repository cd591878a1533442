#!/usr/bin/env bash
# regsvr32 of both builds of the control in a fresh prefix: registration
# writes the class, ProgID, type library and control keys; unregistration
# leaves none of them behind.
#   registration.sh WORKDIR OCX32 OCX64
source "$(dirname "$0")/common.sh"
work=$1 ocx32=$2 ocx64=$3
wine_setup "$work" none

guids=(ACBA1BB2-2A77-4576-81FA-3FB06B282282 236930F6-7E3F-4483-B60E-F0CDDCC56634
       ACEE78FE-EFC7-453F-9204-5E20FC401AA0 736AFA12-84AC-4768-92DB-D8B50615C318)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The module itself: exactly the four server exports, undecorated, and no
# compiler runtime DLL to ship beside it. (The New_ argument names of the
# writes are in the IDL and header only: a type library leaves the right
# side of a property put unnamed.)
for pair in "i686:$ocx32" "x86_64:$ocx64"; do
  arch=${pair%%:*} ocx=${pair#*:}
  exports=$("$arch-w64-mingw32-objdump" -p "$ocx" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[[:space:]]+\[ *[0-9]+\]/ {print $NF}' | sort | tr '\n' ' ')
  [ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] ||
    fail "$arch exports: $exports"
  if "$arch-w64-mingw32-objdump" -p "$ocx" | grep -qiE 'DLL Name: (libstdc|libgcc|libwinpthread)'; then
    fail "$arch: needs a compiler runtime DLL"
  fi
done

cp "$ocx32" "$work/ActiveX_ORVA32.ocx"
cp "$ocx64" "$work/ActiveX_ORVA64.ocx"
win32_path=$(winepath -w "$work/ActiveX_ORVA32.ocx")
win64_path=$(winepath -w "$work/ActiveX_ORVA64.ocx")

export_classes "$work/before.reg"
for guid in "${guids[@]}"; do
  grep -qi "$guid" "$work/before.reg" && fail "$guid present before registration"
done

check_registered() {
  local reg=$1 arch=$2 path=$3
  local clsid=236930F6-7E3F-4483-B60E-F0CDDCC56634
  grep -qi "^\[HKEY_CLASSES_ROOT\\\\${arch}CLSID\\\\{$clsid}\\\\InprocServer32\]" "$reg" || fail "$arch: no InprocServer32"
  grep -A3 -i "${arch}CLSID\\\\{$clsid}\\\\InprocServer32\]" "$reg" | grep -q '"ThreadingModel"="Apartment"' ||
    fail "$arch: ThreadingModel"
  grep -A2 -i "${arch}CLSID\\\\{$clsid}\\\\MiscStatus\\\\1\]" "$reg" | grep -q '@="131473"' || fail "$arch: MiscStatus"
  grep -A2 -i "${arch}CLSID\\\\{$clsid}\\\\ProgID\]" "$reg" | grep -q '@="ActiveX_ORVA.ActivexORVA"' ||
    fail "$arch: ProgID"
  grep -A2 -i "${arch}CLSID\\\\{$clsid}\\\\Version\]" "$reg" | grep -q '@="3.1"' || fail "$arch: Version"
  grep -qi "${arch}CLSID\\\\{$clsid}\\\\Control\]" "$reg" || fail "$arch: Control"
  grep -A2 -i "${arch}CLSID\\\\{$clsid}\\\\ToolboxBitmap32\]" "$reg" | grep -q ', 30000"' || fail "$arch: ToolboxBitmap32"
  grep -A2 -i "${arch}CLSID\\\\{$clsid}\\\\TypeLib\]" "$reg" |
    grep -qi '@="{ACBA1BB2-2A77-4576-81FA-3FB06B282282}"' || fail "$arch: TypeLib"
  grep -qi "^\[HKEY_CLASSES_ROOT\\\\TypeLib\\\\{ACBA1BB2-2A77-4576-81FA-3FB06B282282}\\\\3.1\]" "$reg" ||
    fail "$arch: type library not registered"
  grep -qi "^\[HKEY_CLASSES_ROOT\\\\${arch}ActiveX_ORVA.ActivexORVA\\\\CLSID\]" "$reg" ||
    grep -qi "^\[HKEY_CLASSES_ROOT\\\\ActiveX_ORVA.ActivexORVA\\\\CLSID\]" "$reg" || fail "$arch: ProgID key"
}

check_clean() {
  local reg=$1 what=$2
  for guid in "${guids[@]}"; do
    if grep -qi "$guid" "$reg"; then
      fail "$what: $guid left behind"
      grep -i "$guid" "$reg" | head -5
    fi
  done
  grep -qi "ActiveX_ORVA.ActivexORVA" "$reg" && fail "$what: ProgID left behind"
  true
}

run_regsvr() {
  local what=$1
  shift
  local started=$SECONDS
  "$@" >"$work/regsvr.log" 2>&1
  local rc=$?
  [ $rc -eq 0 ] || { fail "$what exited $rc"; cat "$work/regsvr.log"; }
  echo "$what: $((SECONDS - started)) s"
}

# 32-bit: the WoW64 view of the class root.
run_regsvr "regsvr32 (32-bit)" "$WINE32" 'C:\windows\syswow64\regsvr32.exe' /s "$win32_path" || true
export_classes "$work/reg32.reg" "$WINE32"
check_registered "$work/reg32.reg" "" "$win32_path"
run_regsvr "regsvr32 /u (32-bit)" "$WINE32" 'C:\windows\syswow64\regsvr32.exe' /s /u "$win32_path" || true
export_classes "$work/unreg32.reg" "$WINE32"
check_clean "$work/unreg32.reg" "32-bit"
export_classes "$work/unreg32-64view.reg"
check_clean "$work/unreg32-64view.reg" "32-bit (64-bit view)"

# 64-bit.
run_regsvr "regsvr32 (64-bit)" "$WINE64" 'C:\windows\system32\regsvr32.exe' /s "$win64_path" || true
export_classes "$work/reg64.reg"
check_registered "$work/reg64.reg" "" "$win64_path"
run_regsvr "regsvr32 /u (64-bit)" "$WINE64" 'C:\windows\system32\regsvr32.exe' /s /u "$win64_path" || true
export_classes "$work/unreg64.reg"
check_clean "$work/unreg64.reg" "64-bit"

# Both at once, then both away: neither removes the other's class keys.
run_regsvr "regsvr32 (both)" "$WINE32" 'C:\windows\syswow64\regsvr32.exe' /s "$win32_path" || true
run_regsvr "regsvr32 (both)" "$WINE64" 'C:\windows\system32\regsvr32.exe' /s "$win64_path" || true
run_regsvr "regsvr32 /u (both)" "$WINE64" 'C:\windows\system32\regsvr32.exe' /s /u "$win64_path" || true
export_classes "$work/half32.reg" "$WINE32"
check_registered "$work/half32.reg" "" "$win32_path"
run_regsvr "regsvr32 /u (both)" "$WINE32" 'C:\windows\syswow64\regsvr32.exe' /s /u "$win32_path" || true
export_classes "$work/none.reg"
check_clean "$work/none.reg" "both"
export_classes "$work/none32.reg" "$WINE32"
check_clean "$work/none32.reg" "both (32-bit view)"

# Unregistering what is not registered still succeeds.
run_regsvr "regsvr32 /u (again)" "$WINE64" 'C:\windows\system32\regsvr32.exe' /s /u "$win64_path" || true

if [ $failures -ne 0 ]; then
  echo "$failures registration check(s) failed"
  exit 1
fi
echo "registration: all checks passed"
