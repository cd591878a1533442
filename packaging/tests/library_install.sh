#!/usr/bin/env bash
# The library as a Linux program gets it: the build's "dev" component
# installed into a temporary prefix, the example configured with
# find_package(OrvaControl) from that prefix alone (the source tree is not on
# any path), built, and run against the simulator; the pkg-config files
# point into the prefix and build the same example. The headers are
# <orva/...> with <prefix>/include on the path, and every one of them
# compiles with nothing else.
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
[ -f "$prefix/include/orva/control/activex_orva.h" ] && [ -f "$prefix/include/orva/version.h" ] ||
  { echo "FAIL: the headers are not under include/orva"; exit 1; }
pc_dir=$(dirname "$(find "$prefix" -name orva-control.pc | head -n1)")
for pc in orva-control orva-qt orva-widgets; do
  PKG_CONFIG_PATH=$pc_dir pkg-config --cflags "$pc" | grep -qE -- "-I$prefix/include( |$)" ||
    { echo "FAIL: $pc.pc does not give $prefix/include"; exit 1; }
done
# Every installed header, included as a program includes it, with only the
# prefix and Qt on the path: an include between them left in the tree's
# form, or one of a header that was not installed, does not compile.
cxx=${CXX:-c++}
qt_flags=$(pkg-config --cflags Qt6Widgets Qt6SerialPort)
(cd "$prefix/include" && find orva -name '*.h' | sort | sed 's/.*/#include <&>/') >"$work/all_headers.cpp"
$cxx -std=c++20 -fPIC -fsyntax-only -I"$prefix/include" $qt_flags "$work/all_headers.cpp" ||
  { echo "FAIL: the installed headers do not compile on their own"; exit 1; }
echo "headers: $(wc -l <"$work/all_headers.cpp") compile from the prefix alone"
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
# The same example from the pkg-config files alone: their archives, in order.
PKG_CONFIG_PATH=$pc_dir $cxx -std=c++20 -fPIC -O1 "$work/source/settled_weights.cpp" -o "$work/settled_weights_pc" \
  $(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs orva-qt) >"$work/pc-build.log" 2>&1 ||
  { tail -30 "$work/pc-build.log"; echo "FAIL: the example does not build from the pkg-config files"; exit 1; }
bash "$(dirname "$0")/run_settled_weights.sh" "$work/settled_weights_pc" "$sim" "$work"
# A form with the scale widget, from orva-widgets.pc alone.
cat >"$work/form.cpp" <<'CODE'
#include <QApplication>
#include <orva/hosts/qt/scale_widget.h>
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    orva::qt::ScaleWidget widget;
    widget.show();
    return 0;
}
CODE
$cxx -std=c++20 -fPIC -O1 "$work/form.cpp" -o "$work/form" $(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs orva-widgets) \
  >"$work/form-build.log" 2>&1 || { tail -30 "$work/form-build.log"; echo "FAIL: a form does not build from orva-widgets.pc"; exit 1; }
QT_QPA_PLATFORM=offscreen "$work/form" || { echo "FAIL: the form built from orva-widgets.pc does not run"; exit 1; }
echo "library install: $((SECONDS - started)) s"
