#!/usr/bin/env bash
# The Debian package, installed into this system as root, with /usr
# read-only and a user _tavin made beforehand: the files, the manual, the
# user, the conffile and the unit; the installed agent started as its unit
# would start it, reading the ini through its link and writing its log where
# the unit says; an upgrade with an edited conffile; remove; purge; an install that
# makes the user. Everything installed is purged at the end, whatever failed
# (the system user too, when this test made it).
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
state=/var/lib/$package
log_dir=/var/log/$package
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
programs=""
agent_pid=""
trace_pid=""
other_pid=""
cleanup() {
  local pid
  for pid in "$agent_pid" "$trace_pid" "$other_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill -KILL "$pid"
      wait "$pid" 2>/dev/null
    fi
  done
  dpkg -P "$package" </dev/null >/dev/null 2>&1
  [ $user_existed -eq 0 ] && { userdel "$user"; groupdel "$user"; } 2>/dev/null
  [ -n "$programs" ] && rm -rf "$programs"
  rm -rf "$work"
}
trap cleanup EXIT

dpkg_quiet() { dpkg "$@" </dev/null >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; return 1; }; }
status_of() { dpkg-query -W -f='${Status} ${Version}' "$package" 2>/dev/null; }

version=$(basename "$tarball" | sed -E 's/^TavinMonitorAgent-([0-9.]+)-.*/\1/')
newer="$version+1"
deb=$("$root/packaging/debian/make-deb" "$tarball" "$work/old") || exit 1
newer_deb=$("$root/packaging/debian/make-deb" "$tarball" "$work/new" "$newer") || exit 1

# Install on a host whose /usr is read-only but while dpkg unpacks, and
# where _tavin was made beforehand, in another group.
[ $user_existed -eq 0 ] &&
  useradd --system --gid users --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
group=$(id -gn "$user")
dpkg_read_only_usr() {
  unshare --mount -- sh -c 'mount --bind /usr /usr && mount -o remount,bind,ro /usr && exec dpkg "$@"' \
    sh "$@" </dev/null >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; return 1; }
}
check "dpkg unpacks $version" dpkg_quiet --unpack "$deb"
check "dpkg configures it with /usr read-only and $user in the group $group" \
  dpkg_read_only_usr --configure "$package"
check "the agent is executable" test -x "$agent"
check "tavin-console is on PATH" test -x /usr/bin/tavin-console
doc=/usr/share/doc/$package
same_manual() {
  local page
  cmp -s "$doc/README.md" "$root/README.md" || return 1
  for page in "$root"/docs/*.md; do cmp -s "$doc/docs/${page##*/}" "$page" || return 1; done
}
check "the manual is in $doc: README.md and every page of docs/" same_manual
check "the manual's links lead to its pages and headings where it is installed" \
  "$root/scripts/lib/check-links" "$doc"
check "the agent's ini is a link to $ini" \
  test "$(readlink "/usr/lib/$package/TavinMonitorAgent.ini")" = "$ini"
check "the conffile is the example" cmp -s "$ini" "$root/examples/TavinMonitorAgent.ini"
check "dpkg lists the ini as a conffile" \
  grep -q "^ $ini " <(dpkg-query -W -f='${Conffiles}\n' "$package")
check "the agent's lock file is in its working directory, through the link beside it" \
  test "$(readlink "/usr/lib/$package/TavinMonitorAgent.lock")" = "$state/TavinMonitorAgent.lock"
owners() { stat -c '%U:%G:%a' "$state/TavinMonitorAgent.lock" "$state" "$log_dir" 2>/dev/null | tr '\n' ' '; }
check "the lock file, the working and the log directory are $user's alone" \
  test "$(owners)" = "$user:$group:600 $user:$group:700 $user:$group:700 "
check "the working directory's logs/ leads to the log directory" \
  test "$(readlink -f "$state/logs")" = "$log_dir"
# postinst run again, twice: first with the lock file and logs/ gone (the
# agent's user makes them again, as at the install), then after that user
# replaced the lock file by a link to a file of root's. Root follows no link
# in the user's directory: the file keeps its mode and content.
postinst() { "/var/lib/dpkg/info/$package.postinst" configure "$version" >/dev/null 2>&1; }
rm -f "$state/TavinMonitorAgent.lock" "$state/logs"
check "postinst configure runs again" postinst
check "it makes the lock file and logs/ again, $user's" \
  test "$(owners)" = "$user:$group:600 $user:$group:700 $user:$group:700 " -a \
       "$(stat -c %U "$state/logs")" = "$user" -a "$(readlink "$state/logs")" = "$log_dir"
printf 'root only\n' >"$work/victim" && chmod 0644 "$work/victim"
rm "$state/TavinMonitorAgent.lock"
setpriv --reuid="$user" --regid="$group" --clear-groups ln -s "$work/victim" "$state/TavinMonitorAgent.lock"
check "postinst configure runs with a lock link in place" postinst
check "the file the link leads to keeps its mode, owner and content" \
  test "$(stat -c %U:%a "$work/victim") $(cat "$work/victim")" = "root:644 root only"
check "the link is left as it is" test "$(readlink "$state/TavinMonitorAgent.lock")" = "$work/victim"
rm "$state/TavinMonitorAgent.lock"
postinst
check "the unit is installed" test -f "$unit"
check "the unit is enabled" test "$(readlink "$wants")" = "$unit"
unit_value() { sed -n "s/^$1=//p" "$unit"; }
check "the unit runs the agent as $user in $state" \
  test "$(unit_value ExecStart) $(unit_value User) $(unit_value WorkingDirectory)" = \
       "$agent $user $state"
check "the unit starts only with the ini" \
  test "$(unit_value ConditionPathExists)" = "$ini"
documented() {
  local page
  for page in $(unit_value Documentation); do test -f "${page#file:}" || return 1; done
  [ -n "$page" ]
}
check "the pages the unit names as its documentation are installed" documented
# Offline, systemd-analyze still reads the unit as systemd would and checks
# its user and its program, and rates what the unit lets the agent do.
unit_verifies() { [ -z "$(systemd-analyze verify "$unit" 2>&1)" ]; }
check "systemd-analyze finds no fault in the unit" unit_verifies
exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
           sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
check "the unit's exposure is at most 2.5: ${exposure:-none}" \
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }'

# The edits an administrator makes: any free port instead of 10012 (which
# also shows that the agent read this file through its link), and program 1
# enabled, its files another user's; that user runs it.
sed -i 's/^port=10012\r\{0,1\}$/port=0/' "$ini"
programs=$(mktemp -d /opt/tavin-programs.XXXXXX)
mkdir "$programs/cfgA" && touch "$programs/Tavin_ASHR.exe" "$programs/cfgA/SystemConfiguration.ini"
chmod -R a+rX "$programs" && chown -R nobody:nogroup "$programs"
ln -s "$programs/Tavin_ASHR.exe" "$programs/cfgA" "$state/"
enable=$(printf '监控程序1=' | iconv -f UTF-8 -t GBK)
LC_ALL=C sed -i "s/^${enable}N/${enable}Y/" "$ini"
setpriv --reuid=nobody --regid=nogroup --clear-groups bash -c 'exec -a Tavin_ASHR.exe sleep 120' &
other_pid=$!

# The agent as its unit starts it, as far as a machine without systemd goes:
# as its user, umask 0077, no capabilities or new privileges, all read-only
# but its two directories, in a network namespace of its own (the port and
# the lock of an agent already on this host stay out of the way), traced.
strace -f -qq -o "$work/trace" unshare --net --mount -- sh -c '
  ip link set lo up && mount --bind "$1" "$1" && mount --bind "$2" "$2" &&
  mount -o remount,bind,ro / && cd "$1" && umask 0077 && shift 2 && exec "$@"' sh \
  "$(unit_value WorkingDirectory)" "$log_dir" \
  setpriv --reuid="$user" --regid="$group" --init-groups --no-new-privs \
  --inh-caps=-all --ambient-caps=-all --bounding-set=-all \
  "$(unit_value ExecStart)" >"$work/agent.out" 2>&1 &
trace_pid=$!
port=""
for _ in $(seq 100); do
  port=$(grep -ao 'Listening at [0-9]*' "$log_dir"/TavinMonitorAgent_*.log 2>/dev/null | awk '{ print $3 }')
  [ -n "$port" ] && break
  kill -0 "$trace_pid" 2>/dev/null || break
  sleep 0.1
done
agent_pid=$(pgrep -P "$trace_pid")
check "the agent writes its log in $log_dir, on the port of the edited ini" \
  test -n "$port" -a "$port" != 10012
check "the agent's log belongs to $user" \
  test "$(stat -c %U "$log_dir"/TavinMonitorAgent_*.log 2>/dev/null)" = "$user"
console_status() {
  nsenter --net="/proc/$agent_pid/ns/net" tavin-console --port "${port:-1}" status \
    >"$work/status.out" 2>&1
}
check "tavin-console gets the agent's status" console_status
check "the agent sees another user's process of the enabled program" \
  grep -Eq '^ +Y +监控程序1 .*运行' "$work/status.out"
kill -TERM "$agent_pid" 2>/dev/null
kill "$other_pid"
wait "$trace_pid" "$other_pid" 2>/dev/null
agent_pid=""
trace_pid=""
other_pid=""
# What the agent did after its own start passes the unit's system-call
# filter (calls: the system calls of systemd's groups), address families
# and MemoryDenyWriteExecute.
calls() {
  systemd-analyze syscall-filter "$@" | sed -e '/^@/d' -e 's/^ *//' -e '/^#/d' -e '/^$/d' |
    while read -r call; do case $call in @*) calls "$call" ;; *) echo "$call" ;; esac; done
}
outside_the_unit() {
  local traced
  traced=$(awk -v exe="execve(\"$agent\"" 'index($0, exe) && / = 0$/ { on = 1; next } on' "$work/trace")
  [ -n "$traced" ] || echo "no system call of the agent traced"
  # shellcheck disable=SC2046
  comm -23 <(sed -nE 's/^[0-9]+ +([a-z0-9_]+)\(.*/\1/p' <<<"$traced" | sort -u) \
           <(comm -23 <(calls $(unit_value SystemCallFilter | grep -v '^~') | sort -u) \
                      <(calls $(unit_value SystemCallFilter | sed -n 's/^~//p') | sort -u))
  grep -oE 'socket\(AF_[A-Z0-9]+' <<<"$traced" | cut -c8- | grep -vxF -f <(unit_value RestrictAddressFamilies | tr ' ' '\n')
  grep -E '(mmap|mprotect)\(.*PROT_WRITE\|PROT_EXEC|mprotect\(.*PROT_EXEC' <<<"$traced"
}
check "the agent's system calls, sockets and mappings are all the unit allows" \
  test -z "$(outside_the_unit | tee "$work/outside")"
[ $failed -eq 0 ] || { echo "-- agent output"; cat "$work/agent.out" "$work/status.out" "$work/outside"; }

# Upgrade: the edited conffile stays.
check "dpkg -i upgrades to $newer" dpkg_quiet -i "$newer_deb"
check "the upgrade leaves the package installed at $newer" \
  test "$(status_of)" = "install ok installed $newer"
check "the upgrade keeps the edited conffile" grep -q '^port=0' "$ini"
check "the unit stays enabled" test "$(readlink "$wants")" = "$unit"

# Remove: the programs go; the configuration and the logs stay.
check "dpkg -r removes the package" dpkg_quiet -r "$package"
check "the programs, the lock file's link and the manual are gone" \
  test ! -e "/usr/lib/$package" -a ! -e /usr/bin/tavin-console -a ! -e "$unit" -a ! -e "$doc"
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

# An install on a host without the user makes it.
if [ $user_existed -eq 0 ] && userdel "$user"; then
  check "dpkg -i installs $version on a host without $user" dpkg_quiet -i "$deb"
  check "the install made $user, a system user without a login shell, in its own group" \
    test "$(getent passwd "$user" | cut -d: -f7) $(id -gn "$user")" = "/usr/sbin/nologin $user" -a "$(id -u "$user")" -lt 1000
fi

finish deb
