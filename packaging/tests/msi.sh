#!/usr/bin/env bash
# The two installers under Wine, in one fresh prefix: install both per
# machine, run the host examples against the installed control reading a
# simulated terminal on COM1, check that the installer wrote exactly the keys
# the module's own registration writes, replace a version by a newer one,
# and uninstall: no file and no registry key of ours may be left.
#   msi.sh WORKDIR MSI32 MSI64 EXAMPLES_DIR ATL_HOST32 ATL_HOST64 OCX32 OCX64 WXS_DIR32
source "$(dirname "$0")/../../tests/wine/common.sh"
work=$1 msi32=$2 msi64=$3 examples=$4 atl32=$5 atl64=$6 ocx32=$7 ocx64=$8 wxs32=$9
wine_tests=$(cd "$(dirname "$0")/../../tests/wine" && pwd)
started=$SECONDS
wine_setup "$work" display

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ours='236930F6-7E3F-4483-B60E-F0CDDCC56634|ACBA1BB2-2A77-4576-81FA-3FB06B282282|ACEE78FE-EFC7-453F-9204-5E20FC401AA0|736AFA12-84AC-4768-92DB-D8B50615C318|ActiveX_ORVA'
pf32="$WINEPREFIX/drive_c/Program Files (x86)/ActiveX_ORVA"
pf64="$WINEPREFIX/drive_c/Program Files/ActiveX_ORVA"

# Everything of the prefix a package could leave behind: the files (without
# the temporary folders) and the whole machine and user registry as text.
snapshot() {
  local out=$1
  (cd "$WINEPREFIX/drive_c" && find . -path ./users -prune -o -path ./windows/temp -prune -o -type f -print |
     sort) >"$out.files"
  local raw
  for hive in HKEY_LOCAL_MACHINE HKEY_CURRENT_USER; do
    raw=$(winepath -w "$out.$hive.raw")
    "$WINE64" regedit /E "$raw" "$hive" >/dev/null 2>&1
    iconv -f UTF-16LE -t UTF-8 "$out.$hive.raw" | tr -d '\r' >"$out.$hive"
    rm -f "$out.$hive.raw"
  done
}

# Our keys as registered, one "key|value line" per line, sorted: the blocks
# of a classes-root export whose key names one of our identities.
# Two differences are not the rows': HELPDIR is the folder with or without a
# final separator (the installer's folder property has one), and the type
# library key is shared by both architectures, so its HELPDIR is the last
# writer's. Wine also keeps a 32-bit ProgID written by the installer in the
# 32-bit view where regsvr32 writes the shared one: both resolve the same.
our_keys() {
  awk -v ours="$ours" '
    /^\[/ { key = $0; keep = (toupper(key) ~ toupper(ours)) && key !~ /Wow6432Node\\ActiveX_ORVA\.ActivexORVA/
             if (keep) print key "|"; next }
    keep && NF && $0 != "@=\"\"" {
      line = $0
      if (key ~ /\\HELPDIR\]$/) line = "@=<folder>"
      print key "|" line }' "$1" | sort
}

msiexec() {
  local what=$1
  shift
  local t=$SECONDS rc
  set +e
  "$WINE64" msiexec "$@" /qn >"$work/msiexec.log" 2>&1
  rc=$?
  set -e
  echo "$what: exit $rc, $((SECONDS - t)) s"
  [ $rc -eq 0 ] || fail "$what exited $rc"
}

snapshot "$work/before"

# The terminal on COM1, answering a steady 12.5 kg.
weight_file=$work/weight.txt
printf '   12.5' >"$weight_file"
rm -f "$WINEPREFIX/dosdevices/com1"
python3 "$wine_tests/terminal.py" "$WINEPREFIX/dosdevices/com1" "$weight_file" >"$work/terminal.log" 2>&1 &
terminal_pid=$!
trap 'status=$?; set +e; kill $terminal_pid 2>/dev/null; (exit $status); wine_cleanup' EXIT
for _ in $(seq 50); do [ -L "$WINEPREFIX/dosdevices/com1" ] && break; sleep 0.1; done

msiexec "install 32-bit" /i "$(winepath -w "$msi32")"
msiexec "install 64-bit" /i "$(winepath -w "$msi64")"
[ -f "$pf32/ActiveX_ORVA.ocx" ] || fail "no module under Program Files (x86)"
[ -f "$pf64/ActiveX_ORVA.ocx" ] || fail "no module under Program Files"
cmp -s "$pf32/ActiveX_ORVA.ocx" "$ocx32" || fail "the 32-bit module installed is not the one built"
cmp -s "$pf64/ActiveX_ORVA.ocx" "$ocx64" || fail "the 64-bit module installed is not the one built"
# One version: the installer's file name, the module's version block.
version=$(basename "$msi32" | sed -E 's/^ActiveX_ORVA-(.*)-i686\.msi$/\1/')
for module in "$pf32/ActiveX_ORVA.ocx" "$pf64/ActiveX_ORVA.ocx"; do
  block=$(strings -el "$module" | grep -A1 -x FileVersion | tail -n1)
  [ "$block" = "$version" ] || fail "$module: version block $block, installer $version"
done
export_classes "$work/msi64.reg" "$WINE64"
export_classes "$work/msi32.reg" "$WINE32"

# The host examples against the installed control.
cp "$examples/read_weight.vbs" "$examples/read_weight.js" "$atl32" "$work/"
cp "$atl64" "$work/atl_host64.exe"
run_example() {
  local name=$1 expect=$2
  shift 2
  local t=$SECONDS rc
  set +e
  "$@" >"$work/$name.out" 2>"$work/$name.err"
  rc=$?
  set -e
  tr -d '\r' <"$work/$name.out" | sed "s/^/  $name: /"
  echo "$name: exit $rc, $((SECONDS - t)) s"
  [ $rc -eq 0 ] || fail "$name exited $rc"
  tr -d '\r' <"$work/$name.out" | grep -qE "$expect" || { fail "$name: no line matching '$expect'"; tail -5 "$work/$name.err"; }
}
# The script hosts: created by ProgID, named through the installed type
# library; a reading where the host can wait (Wine 8's has no WScript.Sleep).
script_example() {
  local name=$1 created=$2
  shift 2
  run_example "$name" "$created" "$@"
  if ! tr -d '\r' <"$work/$name.out" | grep -q '^this script host cannot wait'; then
    tr -d '\r' <"$work/$name.out" | grep -qE '^weight 12\.5 kg \(ORVA-1, status [A-D]\)$' || fail "$name: no reading"
  fi
}
script_example vbscript-32 '^created _ActivexORVA: weight XXXX \(No Connect, status X\)$' \
  "$WINE32" 'C:\windows\syswow64\cscript.exe' //nologo "$(winepath -w "$work/read_weight.vbs")" 4
script_example vbscript-64 '^created _ActivexORVA: weight XXXX \(No Connect, status X\)$' \
  "$WINE64" 'C:\windows\system32\cscript.exe' //nologo "$(winepath -w "$work/read_weight.vbs")" 4
script_example jscript-64 '^created ActiveX_ORVA.ActivexORVA: weight XXXX \(No Connect, status X\)$' \
  "$WINE64" 'C:\windows\system32\cscript.exe' //nologo "$(winepath -w "$work/read_weight.js")" 4
run_example atl-32 '^StabVes 12\.5$' "$WINE32" "$work/$(basename "$atl32")" 4
grep -q '^ChangeVes 12.5' <(tr -d '\r' <"$work/atl-32.out") || fail "atl-32: no ChangeVes 12.5"
run_example atl-64 '^StabVes 12\.5$' "$WINE64" "$work/atl_host64.exe" 4

# A newer version replaces the installed one: one product, the same files.
sed 's/ Version="[0-9.]*"/ Version="99.0.0"/' "$wxs32/ActiveX_ORVA.wxs" >"$work/newer.wxs"
cp "$wxs32/registry.wxi" "$wxs32/ActiveX_ORVA.ocx" "$work/"
(cd "$work" && wixl -a x86 -I "$work" -o "$work/newer.msi" "$work/newer.wxs") || fail "wixl of the newer version"
msiexec "upgrade 32-bit" /i "$(winepath -w "$work/newer.msi")"
snapshot "$work/upgraded"
# Entries of the programs list (the Uninstall keys) naming the 32-bit control.
products=$(awk '/^\[/ { uninstall = ($0 ~ /\\Uninstall\\/) }
  uninstall && /^"DisplayName"="ActiveX_ORVA weighing-terminal control \(32-bit\)"/ { n++ } END { print n + 0 }' \
  "$work/upgraded.HKEY_LOCAL_MACHINE")
[ "$products" = 1 ] || fail "after the upgrade $products 32-bit products are listed, not 1"
grep -q '"DisplayVersion"="99.0.0"' "$work/upgraded.HKEY_LOCAL_MACHINE" || fail "the newer version is not the installed one"
[ -f "$pf32/ActiveX_ORVA.ocx" ] || fail "the upgrade lost the module"

msiexec "uninstall 32-bit" /x "$(winepath -w "$work/newer.msi")"
msiexec "uninstall 64-bit" /x "$(winepath -w "$msi64")"

# The installer's rows are the keys the module's own registration writes, at
# the same place, for each architecture.
# Both architectures were installed together; registered together as well.
mkdir -p "$pf32" && cp "$ocx32" "$pf32/ActiveX_ORVA.ocx"
"$WINE32" 'C:\windows\syswow64\regsvr32.exe' /s "$(winepath -w "$pf32/ActiveX_ORVA.ocx")" >/dev/null 2>&1
mkdir -p "$pf64" && cp "$ocx64" "$pf64/ActiveX_ORVA.ocx"
"$WINE64" 'C:\windows\system32\regsvr32.exe' /s "$(winepath -w "$pf64/ActiveX_ORVA.ocx")" >/dev/null 2>&1
export_classes "$work/regsvr64.reg" "$WINE64"
export_classes "$work/regsvr32.reg" "$WINE32"
"$WINE64" 'C:\windows\system32\regsvr32.exe' /s /u "$(winepath -w "$pf64/ActiveX_ORVA.ocx")" >/dev/null 2>&1
"$WINE32" 'C:\windows\syswow64\regsvr32.exe' /s /u "$(winepath -w "$pf32/ActiveX_ORVA.ocx")" >/dev/null 2>&1
rm -rf "$pf32" "$pf64"
for view in 64 32; do
  our_keys "$work/msi$view.reg" >"$work/msi$view.keys"
  our_keys "$work/regsvr$view.reg" >"$work/regsvr$view.keys"
  if ! diff -u "$work/regsvr$view.keys" "$work/msi$view.keys" >"$work/keys$view.diff"; then
    fail "$view-bit view: the installer's keys differ from regsvr32's (- regsvr32, + installer)"
    cat "$work/keys$view.diff"
  else
    echo "$view-bit view: installer and regsvr32 write the same $(wc -l <"$work/msi$view.keys") key/value lines"
  fi
done

# Nothing left: no file, no key, no value that was not there before.
snapshot "$work/after"
for part in files HKEY_LOCAL_MACHINE HKEY_CURRENT_USER; do
  if ! diff "$work/before.$part" "$work/after.$part" >"$work/left.$part.diff"; then
    # Wine registers its own script host's types on first use: only our
    # identities and entries of the installer's product lists count.
    left='\\(Products|Features|UpgradeCodes|Components|Uninstall)\\[^]]+\]'
    if grep -E '^>' "$work/left.$part.diff" | grep -qiE "$ours|$left"; then
      fail "left behind in $part:"
      grep -E '^>' "$work/left.$part.diff" | grep -iE "$ours|$left" | head -20
    fi
  fi
done
grep -rqiE "$ours" "$work/after.HKEY_LOCAL_MACHINE" && fail "a key or value naming the control is left"
echo "installers: $((SECONDS - started)) s including the prefix, $failures failure(s)"
[ $failures -eq 0 ]
