#!/usr/bin/env bash
# The Debian package, installed into this system as root: install, the
# files, the user, the conffile and the unit; the installed agent started as
# its unit would start it, reading the ini through its link and writing its
# log where the unit says; an upgrade with an edited conffile; remove; purge.
# Everything installed is purged at the end, whatever failed (the system user
# too, when this test made it).
#
#   deb_test.sh TARBALL
#
# Makes the package twice from the Linux tarball, with its version and a
# higher one. Exit status 0 when every check passes, 1 otherwise, 77 (with
# one line) when not root or when the package is installed for real.
set -u

tarball=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
package=tavin-monitor-agent
user=_tavin
ini=/etc/$package/TavinMonitorAgent.ini
agent=/usr/lib/$package/TavinMonitorAgent
unit=/lib/systemd/system/$package.service
wants=/etc/systemd/system/multi-user.target.wants/$package.service

if [ "$(id -u)" -ne 0 ]; then echo "deb test skipped: not root"; exit 77; fi
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -qv '^unknown\|not-installed'; then
  echo "deb test skipped: $package is installed on this system"
  exit 77
fi

source "$root/tests/packaging/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/tavin-deb-test.XXXXXX")
user_existed=0
getent passwd "$user" >/dev/null && user_existed=1
agent_pid=""
cleanup() {
  if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill -KILL "$agent_pid"
    wait "$agent_pid" 2>/dev/null
  fi
  dpkg -P "$package" </dev/null >/dev/null 2>&1
  if [ $user_existed -eq 0 ] && getent passwd "$user" >/dev/null; then
    userdel "$user" 2>/dev/null
    getent group "$user" >/dev/null && groupdel "$user" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

dpkg_quiet() { dpkg "$@" </dev/null >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; return 1; }; }
status_of() { dpkg-query -W -f='${Status} ${Version}' "$package" 2>/dev/null; }

version=$(basename "$tarball" | sed -E 's/^TavinMonitorAgent-([0-9.]+)-.*/\1/')
newer="$version+1"
deb=$("$root/packaging/debian/make-deb" "$tarball" "$work/old") || exit 1
newer_deb=$("$root/packaging/debian/make-deb" "$tarball" "$work/new" "$newer") || exit 1

# Install.
check "dpkg -i installs $version" dpkg_quiet -i "$deb"
check "the agent is executable" test -x "$agent"
check "tavin-console is on PATH" test -x /usr/bin/tavin-console
check "the agent's ini is a link to $ini" \
  test "$(readlink "/usr/lib/$package/TavinMonitorAgent.ini")" = "$ini"
check "the conffile is the example" cmp -s "$ini" "$root/examples/TavinMonitorAgent.ini"
check "dpkg lists the ini as a conffile" \
  grep -q "^ $ini " <(dpkg-query -W -f='${Conffiles}\n' "$package")
check "the system user exists, without a login shell" \
  test "$(getent passwd "$user" | cut -d: -f7)" = /usr/sbin/nologin
check "the user's uid is a system one" test "$(id -u "$user")" -lt 1000
check "the agent's lock file belongs to $user alone" \
  test "$(stat -c %U:%a "/usr/lib/$package/TavinMonitorAgent.lock" 2>/dev/null)" = "$user:600"
check "the log directory belongs to the user" \
  test "$(stat -c %U /var/log/$package 2>/dev/null)" = "$user"
check "the working directory's logs/ leads to the log directory" \
  test "$(readlink -f /var/lib/$package/logs)" = /var/log/$package
check "the unit is installed" test -f "$unit"
check "the unit is enabled" test "$(readlink "$wants")" = "$unit"
unit_value() { sed -n "s/^$1=//p" "$unit"; }
check "the unit runs the agent as $user in /var/lib/$package" \
  test "$(unit_value ExecStart) $(unit_value User) $(unit_value WorkingDirectory)" = \
       "$agent $user /var/lib/$package"
check "the unit starts only with the ini" \
  test "$(unit_value ConditionPathExists)" = "$ini"
# Offline, systemd-analyze still reads the unit as systemd would and checks
# its user and its program.
unit_verifies() { [ -z "$(systemd-analyze verify "$unit" 2>&1)" ]; }
if command -v systemd-analyze >/dev/null; then
  check "systemd-analyze finds no fault in the unit" unit_verifies
fi

# The edit an administrator makes: any free port instead of 10012 (which
# also shows that the agent read this file through its link).
sed -i 's/^port=10012\r\{0,1\}$/port=0/' "$ini"

# The agent as its unit starts it, in a network namespace of its own: the
# port and any single-instance lock of an agent already on this host stay
# out of the way.
log_dir=/var/log/$package
unshare --net -- sh -c 'ip link set lo up && cd "$1" && shift && exec "$@"' sh \
  "$(unit_value WorkingDirectory)" setpriv --reuid="$user" --regid="$user" --init-groups \
  "$(unit_value ExecStart)" >"$work/agent.out" 2>&1 &
agent_pid=$!
port=""
for _ in $(seq 100); do
  port=$(grep -ao 'Listening at [0-9]*' "$log_dir"/TavinMonitorAgent_*.log 2>/dev/null | awk '{ print $3 }')
  [ -n "$port" ] && break
  kill -0 "$agent_pid" 2>/dev/null || break
  sleep 0.1
done
check "the agent writes its log in $log_dir, on the port of the edited ini" \
  test -n "$port" -a "$port" != 10012
check "the agent's log belongs to $user" \
  test "$(stat -c %U "$log_dir"/TavinMonitorAgent_*.log 2>/dev/null)" = "$user"
console_status() {
  nsenter --net="/proc/$agent_pid/ns/net" tavin-console --port "${port:-1}" status \
    >"$work/status.out" 2>&1
}
check "tavin-console gets the agent's status" console_status
kill -TERM "$agent_pid" 2>/dev/null
wait "$agent_pid"
agent_pid=""
[ $failed -eq 0 ] || { echo "-- agent output"; cat "$work/agent.out" "$work/status.out"; }

# Upgrade: the edited conffile stays.
check "dpkg -i upgrades to $newer" dpkg_quiet -i "$newer_deb"
check "the upgrade leaves the package installed at $newer" \
  test "$(status_of)" = "install ok installed $newer"
check "the upgrade keeps the edited conffile" grep -q '^port=0' "$ini"
check "the unit stays enabled" test "$(readlink "$wants")" = "$unit"

# Remove: the programs go; the configuration and the logs stay.
check "dpkg -r removes the package" dpkg_quiet -r "$package"
check "the programs and the lock file are gone" \
  test ! -e "/usr/lib/$package" -a ! -e /usr/bin/tavin-console -a ! -e "$unit"
check "remove keeps the edited conffile" grep -q '^port=0' "$ini"
check "remove keeps the logs" test -s "$(ls "$log_dir"/TavinMonitorAgent_*.log 2>/dev/null | head -1)"
check "dpkg keeps the package's configuration" test "$(status_of)" = "deinstall ok config-files $newer"

# Purge: nothing is left.
check "dpkg -P purges the package" dpkg_quiet -P "$package"
check "purge removes the configuration, the logs and the working directory" \
  test ! -e "/etc/$package" -a ! -e "$log_dir" -a ! -e "/var/lib/$package"
check "purge removes the unit's enablement and mask" \
  test ! -e "$wants" -a ! -L "$wants" -a ! -L "/etc/systemd/system/$package.service"
check "dpkg no longer knows the package" test -z "$(status_of)"

finish deb
