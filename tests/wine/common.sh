# Shared by the Wine test scripts: a fresh prefix of their own inside the
# build tree, a private X server, and cleanup of both on exit.
#   wine_setup WORKDIR [display]   creates WORKDIR/prefix (and starts Xvfb)

set -euo pipefail

WINE32=${WINE32:-wine}
WINE64=${WINE64:-/usr/lib/wine/wine64}
XVFB_PID=""

wine_cleanup() {
  local status=$?
  if [ -n "${WINEPREFIX:-}" ] && [ -d "${WINEPREFIX}" ]; then
    # Bounded: a cleanup that waits for a server that will not go must not
    # turn a failed test into a time-out.
    WINEPREFIX=$WINEPREFIX timeout 30 wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$WINEPREFIX timeout 30 wineserver -w >/dev/null 2>&1 || true
    # A prefix takes over a gigabyte: kept only when the test failed.
    if [ $status -eq 0 ]; then rm -rf "$WINEPREFIX"; fi
  fi
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
  return $status
}

start_xvfb() {
  local fifo_dir display_file
  fifo_dir=$(mktemp -d)
  display_file=$fifo_dir/display
  # -displayfd picks a free display number and reports it when ready.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
  done
  [ -s "$display_file" ] || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$(head -n1 "$display_file")"
  rm -rf "$fifo_dir"
}

wine_setup() {
  local work=$1 display=${2:-display}
  rm -rf "$work"
  mkdir -p "$work"
  export WINEPREFIX=$work/prefix
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
  trap wine_cleanup EXIT
  # The display must be there before the prefix's first Wine command.
  if [ "$display" = display ]; then start_xvfb; else unset DISPLAY; fi
  local started=$SECONDS
  wineboot -i >"$work/wineboot.log" 2>&1
  wineserver -w 2>/dev/null
  # One server for the rest of the test, its stderr (long listings on exit)
  # in a file rather than in the test's output.
  wineserver -p 2>"$work/wineserver.log" >/dev/null
  echo "prefix ready in $((SECONDS - started)) s"
}

# Exported registry of the classes root, as text (UTF-16 converted).
export_classes() {
  local out=$1 wine=${2:-$WINE64}
  local win_out
  win_out=$(winepath -w "$out.raw" 2>/dev/null)
  "$wine" regedit /E "$win_out" "HKEY_CLASSES_ROOT" >/dev/null 2>&1
  iconv -f UTF-16LE -t UTF-8 "$out.raw" | tr -d '\r' >"$out"
  rm -f "$out.raw"
}
