#!/usr/bin/env bash
# The Debian packages on this machine (as root): install, use the installed
# programs, remove, purge, and check that nothing of them is left; lintian on
# every package, which must be clean (overrides are explained in the files
# packaging/debian/lintian-overrides).
#   deb.sh WORKDIR BUILD_DIR [EXAMPLE_SOURCE_DIR]   (makes the packages with cpack)
# Exit 77 (skipped) when not root. Removes any orva-tools or liborva-dev
# installed before: run it where those packages are the build's own.
set -euo pipefail
work=$1 build=$2 example=${3:-}
if [ "$(id -u)" -ne 0 ]; then
  echo "dpkg needs root: skipped"
  exit 77
fi
rm -rf "$work"
mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
started=$SECONDS

packages=$work/packages
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$packages") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
shopt -s nullglob
debs=("$packages"/*.deb)
[ ${#debs[@]} -gt 0 ] || { echo "no packages in $packages"; exit 1; }
for deb in "${debs[@]}"; do
  echo "$(basename "$deb"): $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"
done

# lintian: no error, no warning (it only notes that it runs as root).
for deb in "${debs[@]}"; do
  status=0
  out=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
  out=$(grep -v 'running with root privileges' <<<"$out" || true)
  if [ $status -eq 0 ] && [ -z "$out" ]; then
    echo "lintian $(basename "$deb"): clean"
  else
    fail "lintian $(basename "$deb"):"
    echo "$out"
  fi
done

# Start from none of ours.
dpkg --purge orva-opcua orva-tools liborva-dev >/dev/null 2>&1 || true

tools=$(printf '%s\n' "${debs[@]}" | grep '/orva-tools_' || true)
[ -n "$tools" ] || { fail "no orva-tools package"; exit 1; }
dpkg -i "$tools" >"$work/dpkg-i.log" 2>&1 || { fail "dpkg -i orva-tools"; cat "$work/dpkg-i.log"; }
dpkg-query -W -f='${Status}\n' orva-tools | grep -q 'install ok installed' || fail "orva-tools not installed"
dpkg -L orva-tools | while read -r path; do [ -f "$path" ] && echo "$path"; done >"$work/files"
conffiles=$(dpkg-query -W -f='${Conffiles}\n' orva-tools | awk 'NF {print $1}')
echo "orva-tools: $(wc -l <"$work/files") files installed"

# The installed programs, from the PATH.
if /usr/bin/orva-monitor --simulate --cycles 6 --json >"$work/monitor.json" 2>"$work/monitor.err"; then
  grep -q '"TipTerminal":"ORVA-1"' "$work/monitor.json" || fail "installed orva-monitor: no ORVA-1 reading in 6 decodes"
else
  fail "installed orva-monitor exited $?"
  cat "$work/monitor.err"
fi
/usr/bin/orva-sim --help >/dev/null || fail "installed orva-sim --help"
if QT_QPA_PLATFORM=offscreen /usr/bin/orva-panel --simulate --cycles 4 --snapshot "$work/panel.png" \
     >"$work/panel.log" 2>&1; then
  [ -s "$work/panel.png" ] || fail "installed orva-panel: no snapshot"
else
  fail "installed orva-panel exited $?"
  tail -5 "$work/panel.log"
fi
for page in orva-monitor orva-sim orva-panel; do
  zcat "/usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q '^\.TH' || fail "no man page for $page"
done

service=no
if [ -x /usr/bin/orva-service ]; then
  service=yes
  id -nG orva 2>/dev/null | tr ' ' '\n' | grep -qx dialout || fail "the service user is not in dialout"
  [ "$(stat -c %U /etc/orva/service.ini)" = orva ] || fail "service.ini does not belong to the service user"
  grep -q '^ExecStart=/usr/bin/orva-service --config /etc/orva/service.ini' /lib/systemd/system/orva-service.service ||
    fail "the unit does not start the service on its configuration"
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /lib/systemd/system/orva-service.service >"$work/verify.log" 2>&1 ||
      { fail "systemd-analyze verify"; cat "$work/verify.log"; }
  fi
  grep -qx 'LimitNOFILE=65536' /lib/systemd/system/orva-service.service || fail "the unit keeps the default descriptor limit"
  man_text=$(MANWIDTH=200 man orva-service 2>/dev/null | col -b)
  for section in CONFIGURATION FILES SIGNALS 'EXIT STATUS' EXAMPLES; do
    grep -q "^$section" <<<"$man_text" || fail "man orva-service has no $section section"
  done
  for key in url client_id queue_limit keepalive ca_file; do
    grep -qE "^#$key =( |$)" /etc/orva/service.ini || fail "the packaged service.ini does not list $key"
  done
  /usr/bin/orva-service --help >/dev/null || fail "installed orva-service --help"
fi

# Every installed program says the package's version.
upstream=$(dpkg-query -W -f='${Version}' orva-tools | sed 's/-[^-]*$//')
for program in orva-monitor orva-sim orva-panel $([ $service = yes ] && echo orva-service); do
  said=$(QT_QPA_PLATFORM=offscreen "/usr/bin/$program" --version 2>&1 || true)
  [ "$said" = "$program $upstream" ] || fail "$program --version said '$said', the package is $upstream"
done

# The OPC UA gateway's package, beside orva-tools: installed, started on a
# configuration of its own until it listens, removed and purged.
opcua=$(printf '%s\n' "${debs[@]}" | grep '/orva-opcua_' || true)
if [ -n "$opcua" ]; then
  dpkg -i "$opcua" >"$work/dpkg-i-opcua.log" 2>&1 || { fail "dpkg -i orva-opcua"; cat "$work/dpkg-i-opcua.log"; }
  dpkg -L orva-opcua | while read -r path; do [ -f "$path" ] && echo "$path"; done >"$work/opcua-files"
  echo "orva-opcua: $(wc -l <"$work/opcua-files") files installed"
  said=$(/usr/bin/orva-opcua --version 2>&1 || true)
  [ "$said" = "orva-opcua $upstream" ] || fail "orva-opcua --version said '$said', the package is $upstream"
  zcat /usr/share/man/man1/orva-opcua.1.gz 2>/dev/null | grep -q '^\.TH' || fail "no man page for orva-opcua"
  unit=/lib/systemd/system/orva-opcua.service
  grep -q '^ExecStart=/usr/bin/orva-opcua --config /etc/orva/service.ini' "$unit" ||
    fail "the gateway's unit does not start it on the service's configuration"
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$unit" >"$work/verify-opcua.log" 2>&1 || { fail "systemd-analyze verify $unit"; cat "$work/verify-opcua.log"; }
  fi
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  printf '[service]\nlisten = 127.0.0.1:9\n[opcua]\nlisten = 127.0.0.1:%s\nstate_dir = %s/opcua-state\n' \
    "$port" "$work" >"$work/opcua.ini"
  /usr/bin/orva-opcua --config "$work/opcua.ini" >"$work/opcua.out" 2>"$work/opcua.err" &
  gateway=$!
  for _ in $(seq 1 240); do
    grep -q '^listening on opc.tcp://' "$work/opcua.out" && break
    kill -0 $gateway 2>/dev/null || break
    sleep 0.5
  done
  if grep -q "^listening on opc.tcp://127.0.0.1:$port" "$work/opcua.out"; then
    [ -s "$work/opcua-state/pki/own/certs/certificate.pem" ] || fail "the installed gateway made no certificate"
  else
    fail "the installed orva-opcua did not listen"
    tail -20 "$work/opcua.err"
  fi
  kill $gateway 2>/dev/null || true
  wait $gateway 2>/dev/null || true
  mkdir -p /var/lib/orva-opcua
  dpkg --purge orva-opcua >"$work/dpkg-purge-opcua.log" 2>&1 || { fail "dpkg --purge orva-opcua"; cat "$work/dpkg-purge-opcua.log"; }
  while read -r path; do [ -e "$path" ] && fail "left after purging orva-opcua: $path"; done <"$work/opcua-files"
  [ -e /usr/bin/orva-opcua ] && fail "/usr/bin/orva-opcua left after purge"
  [ -e /var/lib/orva-opcua ] && fail "/var/lib/orva-opcua left after purge"
fi

# The installed library: the example built against /usr, run on the simulator.
dev=$(printf '%s\n' "${debs[@]}" | grep '/liborva-dev_' || true)
if [ -n "$dev" ]; then
  dpkg -i "$dev" >"$work/dpkg-i-dev.log" 2>&1 || { fail "dpkg -i liborva-dev"; cat "$work/dpkg-i-dev.log"; }
  dpkg -L liborva-dev | while read -r path; do [ -f "$path" ] && echo "$path"; done >>"$work/files"
  if [ -n "$example" ]; then
    if cmake -S "$example" -B "$work/example" -DCMAKE_BUILD_TYPE=Release >"$work/example.log" 2>&1 &&
       cmake --build "$work/example" >>"$work/example.log" 2>&1; then
      bash "$(dirname "$0")/run_settled_weights.sh" "$work/example/settled_weights" /usr/bin/orva-sim "$work" ||
        fail "the example built against the package"
    else
      fail "the example does not build against the package"
      tail -20 "$work/example.log"
    fi
  fi
  dpkg -r liborva-dev >/dev/null 2>&1 || fail "dpkg -r liborva-dev"
fi

# Remove: the programs go, a configuration file stays until purge.
dpkg -r orva-tools >"$work/dpkg-r.log" 2>&1 || { fail "dpkg -r"; cat "$work/dpkg-r.log"; }
while read -r path; do
  if [ -e "$path" ] && ! grep -qx "$path" <<<"$conffiles"; then fail "left after dpkg -r: $path"; fi
done <"$work/files"
for conffile in $conffiles; do [ -e "$conffile" ] || fail "dpkg -r removed the configuration $conffile"; done

dpkg --purge orva-tools liborva-dev >"$work/dpkg-purge.log" 2>&1 || { fail "dpkg --purge"; cat "$work/dpkg-purge.log"; }
while read -r path; do [ -e "$path" ] && fail "left after purge: $path"; done <"$work/files"
[ -e /etc/orva ] && fail "/etc/orva left after purge"
getent passwd orva >/dev/null && fail "the service user is left after purge"
dpkg-query -W -f='${Status}' orva-tools 2>/dev/null | grep -qE ' (installed|config-files)$' && fail "dpkg still keeps orva-tools"
echo "Debian packages (service: $service): $((SECONDS - started)) s, $failures failure(s)"
[ $failures -eq 0 ]
