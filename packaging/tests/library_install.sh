#!/usr/bin/env bash
# The library as a Linux program gets it: the build's "dev" component
# installed into a temporary prefix, the example configured with
# find_package(OrvaControl) from that prefix alone (the source tree is not on
# any path), built, and run against the simulator; the pkg-config files
# point into the prefix.
#   library_install.sh BUILD_DIR WORKDIR EXAMPLE_SOURCE ORVA_SIM
set -euo pipefail
build=$1 work=$2 example=$3 sim=$4
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
started=$SECONDS
cmake --install "$build" --component dev --prefix "$prefix" >"$work/install.log"
echo "installed: $(find "$prefix" -type f | wc -l) files, $(du -sk "$prefix" | cut -f1) KiB"
# Only public headers: nothing of the hosts, simulator, tests or Windows parts.
if find "$prefix/include" -type f | grep -E '/(tools|tests|ocx|win32|virtual|gdi)/'; then
  echo "FAIL: private headers installed"
  exit 1
fi
pc_dir=$(dirname "$(find "$prefix" -name orva-control.pc | head -n1)")
PKG_CONFIG_PATH=$pc_dir pkg-config --cflags orva-control | grep -q -- "-I$prefix/include/orva" ||
  { echo "FAIL: orva-control.pc does not point into the prefix"; exit 1; }
cp -r "$example" "$work/source"
cmake -S "$work/source" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/example" >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
# Include paths of the example: the prefix and the system, never the source
# root or the build's generated headers.
source_root=$(cd "$(dirname "$0")/../.." && pwd)
flags=$work/example/CMakeFiles/settled_weights.dir/flags.make
if grep -qE -- "(-I|-isystem )($source_root|$(cd "$build" && pwd)/generated)( |$)" "$flags"; then
  echo "FAIL: the example was built against the source or build tree"
  exit 1
fi
bash "$(dirname "$0")/run_settled_weights.sh" "$work/example/settled_weights" "$sim" "$work"
echo "library install: $((SECONDS - started)) s"
