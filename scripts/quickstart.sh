#!/usr/bin/env bash
# Installs what the build needs (Debian 12), builds, and then either runs the
# main job or every test.
#   scripts/quickstart.sh run     install, build, show a live panel on a simulated terminal
#   scripts/quickstart.sh test    install, build, run every test (unit, integration, wine, fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-run}
shift || true
build_dir=${ORVA_BUILD_DIR:-build}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

packages=(
  cmake g++ make pkg-config python3 libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  qt6-base-dev qt6-serialport-dev libgl-dev fonts-liberation fonts-dejavu-core xvfb xauth socat
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools libwine-dev wine64 wine32
)

install_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then as_root dpkg --add-architecture i386; fi
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build_dir" -j"$(nproc)"
}

install_packages
build
case "$mode" in
  run)
    if [ -x "$build_dir/tools/orva-monitor" ]; then
      exec "$build_dir/tools/orva-monitor" --simulate "$@"
    fi
    exec "$build_dir/tools/orva-demo" "$@"
    ;;
  test)
    (cd "$build_dir" && ctest --output-on-failure -j"$(nproc)" --timeout 900 "$@")
    # Fuzzing and the sanitizer build run after the ordinary tests, when present.
    if [ -x scripts/hardening.sh ] && [ $# -eq 0 ]; then scripts/hardening.sh; fi
    ;;
  *)
    echo "usage: $0 run|test [arguments]" >&2
    exit 2
    ;;
esac
