#!/usr/bin/env bash
# "cmake --install BUILD --prefix P" writes only under P: every file it
# installed lies under P, and nothing appeared where a system keeps its units
# and configuration. The installed unit names the program and configuration
# under P and passes systemd-analyze verify; the service's man page stands
# alone (configuration keys, files, signals, exit status, examples), and the
# installed service.ini lists every key the service reads.
#   install_prefix.sh WORKDIR BUILD_DIR SOURCE_DIR
set -euo pipefail
work=$1 build=$2 source=$3
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Where an install that ignored its prefix would have written.
watched=(/etc /lib/systemd/system /usr/lib/systemd/system /usr/local /usr/share/man/man1)
touch "$work/before"
sleep 1
env -u DESTDIR cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }
manifest=$build/install_manifest.txt
[ -s "$manifest" ] || { echo "no install manifest"; exit 1; }
while read -r path; do
  case $path in "$prefix"/*) ;; *) fail "installed outside the prefix: $path" ;; esac
done <"$manifest"
for dir in "${watched[@]}"; do
  [ -d "$dir" ] || continue
  new=$(find "$dir" -xdev -newer "$work/before" \( -type f -o -type l \) -name '*orva*' 2>/dev/null | head -5)
  [ -z "$new" ] || fail "written outside the prefix: $new"
done
echo "$(wc -l <"$manifest") files, all under the prefix"

[ -x "$prefix/bin/orva-service" ] || { echo "orva-service is not built: nothing more to check"; exit $((failures > 0)); }
unit=$prefix/lib/systemd/system/orva-service.service
ini=$prefix/etc/orva/service.ini
[ -f "$unit" ] || fail "no unit under the prefix"
[ -f "$ini" ] || fail "no service.ini under the prefix"
grep -qx "ExecStart=$prefix/bin/orva-service --config $prefix/etc/orva/service.ini" "$unit" ||
  fail "the unit does not start the installed program on the installed configuration: $(grep ExecStart "$unit")"
grep -qx "ReadWritePaths=$prefix/etc/orva" "$unit" || fail "the unit does not let the service write its folder"
grep -qx 'LimitNOFILE=65536' "$unit" || fail "the unit does not raise the descriptor limit"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" || fail "the unit has no reload"
# The unit's user: only the package creates it, so a prefix install brings
# it for systemd-sysusers, and the unit says how.
sysusers=$prefix/lib/sysusers.d/orva.conf
user=$(sed -n 's/^User=//p' "$unit")
if [ -f "$sysusers" ]; then
  grep -qE "^u $user " "$sysusers" || fail "$sysusers does not create the unit's user $user"
  grep -qE "^m $user dialout" "$sysusers" || fail "$sysusers does not put $user in dialout"
  grep -q "systemd-sysusers $prefix/lib/sysusers.d/orva.conf" "$unit" || fail "the unit does not say how to create its user"
  if command -v systemd-sysusers >/dev/null; then
    mkdir -p "$work/root/etc"
    : >"$work/root/etc/passwd"; : >"$work/root/etc/group"; echo "dialout:x:20:" >"$work/root/etc/group"
    systemd-sysusers --root="$work/root" "$sysusers" >"$work/sysusers.log" 2>&1 &&
      grep -q "^$user:" "$work/root/etc/passwd" || { fail "systemd-sysusers did not create $user"; cat "$work/sysusers.log"; }
  fi
else
  fail "no sysusers file under the prefix for the unit's user $user"
fi
if command -v systemd-analyze >/dev/null; then
  # Its documentation is the installed man page.
  # A key it ignores is only a warning in its exit status: read what it said.
  if ! MANPATH=$prefix/share/man: systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 ||
     grep -q 'orva-service.service:' "$work/verify.log"; then
    fail "systemd-analyze verify"
    cat "$work/verify.log"
  fi
else
  fail "systemd-analyze not found (package systemd)"
fi

# The configuration keys the service reads, from its parsers, each listed
# (commented, with its default) in the packaged file and in the man page.
page=$prefix/share/man/man1/orva-service.1.gz
[ -f "$page" ] || fail "no man page for orva-service"
man_text=$(MANWIDTH=200 man -l "$page" 2>/dev/null | col -b)
# (compared one by one, or named in the table of the connection limits)
keys=$(grep -ohE '\bkey == "[A-Za-z_]+"|\{"[a-z_]+", &l\.' "$source/service/service_config.cpp" "$source/service/http/http_settings.cpp" \
  "$source/service/mqtt/mqtt_settings.cpp" |
  sed -E 's/[^"]*"([^"]*)".*/\1/' | sort -u)
[ "$(wc -w <<<"$keys")" -ge 20 ] || fail "found only $(wc -w <<<"$keys") keys in the parsers"
for key in $keys; do
  grep -qE "^#$key =( |$)" "$ini" || fail "service.ini does not list $key"
  grep -qw -- "$key" <<<"$man_text" || fail "man orva-service does not describe $key"
done
for section in OPTIONS CONFIGURATION FILES SIGNALS 'EXIT STATUS' EXAMPLES; do
  grep -q "^$section" <<<"$man_text" || fail "man orva-service has no $section section"
done
grep -q 'SIGHUP' <<<"$man_text" && grep -q 'SIGTERM' <<<"$man_text" || fail "man orva-service says nothing of the signals"
grep -q 'mqtt-journal' <<<"$man_text" || fail "man orva-service does not say where the journal lives"
grep -qi 'see the README' <<<"$man_text" && fail "man orva-service sends the reader to a README"
# Every option of --help is in the page.
for option in $("$prefix/bin/orva-service" --help | grep -oE '^  --[a-z-]+' | tr -d ' '); do
  grep -q -- "$option" <<<"$man_text" || fail "man orva-service does not describe $option"
done
# The other programs' pages say how they end and give examples.
for program in orva-monitor orva-sim orva-panel; do
  other=$prefix/share/man/man1/$program.1.gz
  [ -f "$other" ] || { fail "no man page for $program"; continue; }
  text=$(MANWIDTH=200 man -l "$other" 2>/dev/null | col -b)
  grep -q '^EXAMPLES' <<<"$text" || fail "man $program has no EXAMPLES"
done

[ $failures -eq 0 ] && echo "install under $prefix: all good"
exit $((failures > 0))
