#!/usr/bin/env bash
# Regenerates the pictures of the README and docs/ (in docs/pictures/) from a built tree:
#   panel-linux.png      orva-panel on the simulated terminal (offscreen Qt)
#   panel-wine.png       the ActiveX control's panel in the Wine test host
#   dashboard.png        the service's dashboard from the headless-browser test
#   scripts/pictures.sh [BUILD_DIR]       (default build/)
# A picture whose source is not built is left as it is, with a note.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=docs/pictures
mkdir -p "$out"

if [ -x "$build/tools/orva-panel" ]; then
  # Sixteen decodes: the simulated load has settled and the lamps show it.
  QT_QPA_PLATFORM=offscreen "$build/tools/orva-panel" --simulate --cycles 16 --snapshot "$out/panel-linux.png" \
    >/dev/null 2>&1
  echo "$out/panel-linux.png"
else
  echo "no $build/tools/orva-panel: panel-linux.png kept" >&2
fi

# The host saves the panel early in its run: a failure of a later check
# still leaves a picture to use.
rm -f "$build/wine-tests/host-i686/panel.bmp"
(cd "$build" && ctest -R '^wine\.host\.i686$' >/dev/null 2>&1) || echo "wine.host.i686 failed (picture still used)" >&2
if [ -f "$build/wine-tests/host-i686/panel.bmp" ]; then
  python3 scripts/bmp_to_png.py "$build/wine-tests/host-i686/panel.bmp" "$out/panel-wine.png"
  echo "$out/panel-wine.png"
else
  echo "the Wine host saved no panel: panel-wine.png kept" >&2
fi

if (cd "$build" && ctest -R 'service\.Dashboard' >/dev/null 2>&1) && [ -f "$build/screenshots/dashboard.png" ]; then
  cp "$build/screenshots/dashboard.png" "$out/dashboard.png"
  echo "$out/dashboard.png"
else
  echo "the dashboard test did not run or kept no screenshot: dashboard.png kept" >&2
fi
