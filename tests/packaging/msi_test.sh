#!/usr/bin/env bash
# The Windows Installer package under Wine, in a fresh Wine prefix of its
# own: silent install; the files, the Start Menu and Startup entries and
# their working folder; the installed agent started in that folder (its logs
# go there) and asked for its status by the installed console client; a
# repair and an upgrade after the ini was edited (the edit stays); silent
# uninstall (the programs go, the ini and the logs stay); service mode:
# installed, serving, upgraded, not switched by a reinstall, uninstalled; a
# working folder named on the command line, kept by an upgrade that switches
# to service mode. Before all that, the custom actions and the service's
# tables as stored, the refusal of a working folder or logs\ that is a link,
# and the icacls command lines for an existing working folder in both modes.
#
#   msi_test.sh ZIP
#
# Makes the package twice from the Windows ZIP archive, with its version and
# a higher one. Exit status 0 when every check passes, 1 otherwise.
#
# Wine runs everything as one user with administrator rights, has no access
# control lists and an icacls that changes nothing, so the access lists are
# checked as far as Wine can: the custom actions as the package stores them,
# the icacls command lines they run (through a stand-in that records them);
# the entries' working folder is under ProgramData, the package made its
# logs\ and the agent writes its log there.
set -u

zip=$1
root=$(cd "$(dirname "$0")/../.." && pwd)

source "$root/tests/packaging/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/tavin-msi-test.XXXXXX")
export WINEPREFIX="$work/prefix"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"  # no menu entries on this host
export WINEDEBUG=-all
xvfb_pid=""
agent_pid=""
cleanup() {
  if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill -KILL "$agent_pid"
    wait "$agent_pid" 2>/dev/null
  fi
  [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

version=$(basename "$zip" | sed -E 's/^TavinMonitorAgent-([0-9.]+)-.*/\1/')
IFS=. read -r major minor patch <<<"$version"
newer="$major.$minor.$((${patch:-0} + 1))"  # the first three numbers make an upgrade
msi=$("$root/packaging/windows/make-msi" "$zip" "$work/old") || exit 1
newer_msi=$("$root/packaging/windows/make-msi" "$zip" "$work/new" "$newer") || exit 1

# The agent shows a tray icon and a window: a display of its own.
display_file="$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$display_file" ] && break
  sleep 0.1
done
export DISPLAY=:$(head -1 "$display_file" | tr -dc 0-9)
wineboot -i >/dev/null 2>&1
# The creation's server ends, and one server serves the whole test: a server
# ending between two steps, its services beside the next one's, can fail the
# step (msiexec talks to the installer service).
timeout 120 wineserver -w || wineserver -k
wineserver -p

# Every installation has 5 minutes: a custom action that hangs fails the
# test instead of holding it.
msiexec_bounded() { timeout 300 wine msiexec "$@"; }
msiexec_quiet() { msiexec_bounded "$@" /qn >/dev/null 2>&1; }
unix_path() { winepath -u "$1" 2>/dev/null; }
windows_var() { wine cmd /c echo "%$1%" 2>/dev/null | tr -d '\r\n'; }
same_windows_path() { [ "${1%\\}" = "${2%\\}" ]; }
# lnk KEY FILE: one value of a shortcut.
lnk() { "$root/tests/packaging/lnk_info.py" "$2" 2>/dev/null | sed -n "s/^$1=//p"; }
registered_versions() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | awk '/^HKEY/ { name = "" } /DisplayName +REG_SZ +TavinMonitorAgent$/ { name = 1 }
                      name && /DisplayVersion/ { print $3 }' | tr '\n' ' '
}

program_data=$(windows_var ProgramData)
program_files=$(windows_var ProgramFiles)
exe_windows="$program_files\\TavinMonitorAgent\\TavinMonitorAgent.exe"
folder_windows="$program_data\\TavinMonitorAgent"
programs=$(unix_path "$program_files\\TavinMonitorAgent")
startup_lnk=$(unix_path "$program_data\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp")/TavinMonitorAgent.lnk
menu_lnk=$(unix_path "$program_data\\Microsoft\\Windows\\Start Menu\\Programs")/TavinMonitorAgent.lnk
ini="$programs/TavinMonitorAgent.ini"

# The custom actions as stored: the folders' lists set as SYSTEM, a failure
# failing the installation (type bits deferred 1024 and no-impersonation
# 2048, not "ignore" 64), in order; the firewall rules' ports and addresses.
actions=$(msiinfo export "$msi" CustomAction | tr -d '\r')
sequence=$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r')
field() { awk -F'\t' -v a="$2" -v f="$1" '$1 == a { print $f }'; }
while IFS='|' read -r action command; do
  type=$(field 2 "$action" <<<"$actions")
  [[ $action = Firewall* ]] ||  # a firewall switched off fails no install
    check "$action runs as SYSTEM; its failure fails the installation" test $((type & 3136)) -eq 3072
  check "$action runs: $command" grep -qF -- "$command" <<<"$(field 4 "$action" <<<"$actions")"
done <<'ACTIONS'
SetFolderAccess|setFolderAccess
FirewallRuleAdd|dir=in action=allow program="[INSTALLFOLDER]TavinMonitorAgent.exe" protocol=tcp localport=[FIREWALL_PORTS]
FirewallMetricsRuleAdd|program="[INSTALLFOLDER]TavinMonitorAgent.exe" protocol=tcp localport=[METRICS_PORT] remoteip=[METRICS_ALLOWED]
ACTIONS
check "the metrics port's rule is made only for addresses given" \
  grep -qF 'METRICS_ALLOWED AND NOT REMOVE="ALL"' <<<"$(field 2 FirewallMetricsRuleAdd <<<"$sequence")"
for actions_in_order in "RefuseLinkedFoldersEarly CreateFolders SetFolderAccess InstallFiles" \
                        "SetFolderAccess InstallServices MsiConfigureServices StartServices"; do
  steps=$(for action in $actions_in_order; do field 3 "$action" <<<"$sequence"; done)
  check "these actions run in order: $actions_in_order ($(echo $steps))" \
    test "$steps" = "$(sort -n <<<"$steps")" -a "$(wc -w <<<"$steps")" = 4
done

# The service's recovery as stored (Wine applies none of it), and the SID of
# its account in the folders' lists: S-1-5-80- and the SHA-1 of its name.
while IFS='|' read -r table row; do
  check "the package's $table holds $row" \
    grep -qxF -- "$row" <<<"$(msiinfo export "$msi" "$table" | tr -d '\r' | tr '\t' '|')"
done <<'SERVICE'
MsiServiceConfigFailureActions|AgentServiceRecovery|TavinMonitorAgent|5|86400|||1[~]1[~]1|10000[~]60000[~]300000|AgentService
MsiServiceConfig|AgentServiceFailedStarts|TavinMonitorAgent|5|4|1|AgentService
MsiServiceConfig|AgentServiceSid|TavinMonitorAgent|5|5|1|AgentService
SERVICE
service_sid=S-1-5-80-$(python3 -c 'import hashlib, struct
print("-".join(map(str, struct.unpack("<5I", hashlib.sha1("TAVINMONITORAGENT".encode("utf-16-le")).digest()))))')
check "the folders' lists grant the service's own SID" \
  test "$(field 4 SetServiceAccountSid <<<"$actions")" = "$service_sid"

# A working folder or logs\ that is a link (to Wine, a Unix symbolic link is
# a reparse point, as a junction is) fails the installation, which says why.
data=$(unix_path "$program_data")
mkdir -p "$work/elsewhere"
for link in TavinMonitorAgent TavinMonitorAgent/logs; do
  mkdir -p "$data/TavinMonitorAgent"
  rm -rf "${data:?}/$link"
  ln -s "$work/elsewhere" "$data/$link"
  msiexec_bounded /i "$msi" /qn /l "$(winepath -w "$work/refused.log")" >/dev/null 2>&1
  check "an install into a linked ${link#TavinMonitorAgent/} fails, saying why" \
    grep -aqF "$program_data\\${link//\//\\} is a junction or a symbolic link" "$work/refused.log"
  check "the refused install leaves nothing installed, and nothing where the link led" \
    test -z "$(registered_versions)" -a ! -e "$programs" -a -z "$(ls -A "$work/elsewhere")"
  rm -rf "${data:?}/TavinMonitorAgent"
done

# The access lists, as far as Wine shows them: its icacls does nothing, so a
# stand-in records the command lines the installation runs. An existing
# working folder, made by someone else before the installation, gets
# Administrators as its owner and a whole list of its own, as do logs\ and
# the programs' log folders: each list is set on an empty folder of
# SYSTEM's, saved, and restored onto the folder itself (/L). Extra grants
# are added; one that icacls cannot take, a METRICS_PORT that is no port,
# METRICS_ALLOWED that are no addresses, a failing icacls, or a link check
# whose find fails fail the installation, which says why, and leave nothing
# installed.
x86_64-w64-mingw32-gcc -O2 -mwindows -o "$work/icacls.exe" "$root/tests/packaging/fake_icacls.c" || exit 1
system32=$(unix_path 'C:\windows\system32')
drive_c=$(unix_path 'C:\')
cp "$system32/icacls.exe" "$work/icacls.wine"
cp "$system32/find.exe" "$work/find.wine"
cp "$work/icacls.exe" "$system32/icacls.exe"
with_icacls() { WINEDLLOVERRIDES="$WINEDLLOVERRIDES;icacls.exe=n,b;find.exe=n,b" "$@"; }
# In service mode the service's account gets what it needs besides.
expected_lists() {  # expected_lists MODE
  local work_folder="$program_data\\TavinMonitorAgent" folder grants i=0
  local all="*S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX"
  local files="*S-1-5-32-545:(WD)" owner="*S-1-3-0:(OI)(IO)M" reads="" makes="" changes=""
  if [ "$1" = service ]; then
    reads=" *$service_sid:(OI)(CI)RX" makes="$reads *$service_sid:(WD) $owner"
    changes=" *$service_sid:(OI)(CI)M"
  fi
  while IFS='|' read -r folder grants; do
    echo "\"$folder\" /setowner *S-1-5-32-544 /L /Q"
    echo "\"<scratch>\\$i\\${folder##*\\}\" /inheritance:r /grant $grants /Q"
    echo "\"<scratch>\\$i\\${folder##*\\}\" /save \"<scratch>\\$i.acl\" /Q"
    echo "\"${folder%\\*}\" /restore \"<scratch>\\$i.acl\" /L /Q"
    i=$((i + 1))
  done <<LISTS
$work_folder|$all$makes *S-1-5-19:(OI)(CI)M
$work_folder\\logs|$all $files *S-1-5-32-545:(OI)(NP)(IO)(AD) $owner$changes
$work_folder\\logs\\monitor|$all$reads
$work_folder\\logs\\monitor\\ASHR_cmd_res.txt|$all $files $owner$reads
$work_folder\\logs\\monitor\\BSHR_cmd_res.txt|$all $files $owner$reads
LISTS
}
for mode in tray service; do
  mkdir -p "$data/TavinMonitorAgent" && echo planted >"$data/TavinMonitorAgent/tavin.ini"
  rm -f "$drive_c/icacls.log"
  with_icacls msiexec_bounded /i "$msi" /qn MODE=$mode 'WORKFOLDER_GRANTS=*S-1-5-19:(OI)(CI)M' \
    /l*v "$(winepath -w "$work/lists.log")" >/dev/null 2>&1
  lists=$(tr -d '\r' <"$drive_c/icacls.log" 2>/dev/null)
  scratch=$(grep -o '"[^"]*TavinMonitorAgent-access-[0-9]*' <<<"$lists" | head -1 | tr -d '"')
  check "in $mode mode an existing working folder, logs\\ and the programs' log folders get whole lists of their own" \
    test -n "$scratch" -a "${lists//"$scratch"/<scratch>}" = "$(expected_lists $mode)"
  [ $failed -eq 0 ] || { echo "-- icacls ran"; echo "$lists"; }
  check "the lists' scratch folder is gone" test -n "$scratch" -a ! -e "$(unix_path "$scratch")"
  check "the firewall rule's ports are all but the metrics port" \
    grep -aq 'FIREWALL_PORTS = 1-10012,10014-65535' "$work/lists.log"
  msiexec_bounded /x "$msi" /qn >/dev/null 2>&1
done
while IFS='|' read -r option reason; do
  # The stand-in fails (status 5) as icacls, or as the find of the link check.
  [[ $option = FAILING_* ]] && : >"$drive_c/icacls-fails"
  [ "$option" = FAILING_FIND=1 ] && cp "$work/icacls.exe" "$system32/find.exe"
  with_icacls msiexec_bounded /i "$msi" /qn "$option" /l "$(winepath -w "$work/refused.log")" >/dev/null 2>&1
  check "an install with $option fails, saying why" grep -aqF "$reason" "$work/refused.log"
  check "  and leaves nothing installed" test -z "$(registered_versions)" -a ! -e "$programs/TavinMonitorAgent.exe"
  cp "$work/find.wine" "$system32/find.exe"
done <<'REFUSALS'
WORKFOLDER_GRANTS=Everyone:F|the extra grant Everyone:F is not one icacls takes
METRICS_PORT=abc|METRICS_PORT=abc is not a port
METRICS_ALLOWED=127.0.0.300|METRICS_ALLOWED=127.0.0.300 is not a list of IPv4 addresses
FAILING_ICACLS=1|/setowner *S-1-5-32-544 /L /Q failed with status 5
FAILING_FIND=1|TavinMonitorAgent cannot be checked (cmd and find ended with status 5 and 5)
REFUSALS
# (Wine's msiexec /qn logs no launch condition's message.)
check "an install with MODE=both fails" eval '! msiexec_quiet /i "$msi" MODE=both'
check "  and leaves nothing installed" test -z "$(registered_versions)" -a ! -e "$programs/TavinMonitorAgent.exe"
rm -f "$drive_c/icacls-fails" "$drive_c/icacls.log"
cp "$work/icacls.wine" "$system32/icacls.exe"
rm -rf "${data:?}/TavinMonitorAgent"

# Install.
check "msiexec /i /qn installs $version" msiexec_quiet /i "$msi"
check "the agent and the console client are installed" \
  test -s "$programs/TavinMonitorAgent.exe" -a -s "$programs/tavin-console.exe"
manual_installed() {
  local page
  for page in "$root"/docs/*.md; do page=${page##*/}; test -s "$programs/docs/${page%.md}.txt" || return 1; done
}
check "the manual is installed: README.txt and a text file in docs\\ for every page" manual_installed
check "the manual's links lead to its text files and their headings" \
  "$root/scripts/lib/check-links" --text "$programs"
notepad_text() {  # UTF-8 with a byte order mark, every line ending in CR LF
  [ "$(head -c 3 "$1" | od -An -tx1 | tr -d ' ')" = efbbbf ] && ! grep -q $'[^\r]$\|^$' "$1"
}
check "README.txt is UTF-8 text with CR LF line ends, for Notepad" notepad_text "$programs/README.txt"
check "the example ini is installed" \
  cmp -s "$programs/TavinMonitorAgent.example.ini" "$root/examples/TavinMonitorAgent.ini"
check "TavinMonitorAgent.ini is the example on a first install" \
  cmp -s "$ini" "$root/examples/TavinMonitorAgent.ini"
for entry in "$startup_lnk" "$menu_lnk"; do
  where=$(basename "$(dirname "$entry")")
  check "the $where entry starts the installed agent" same_windows_path "$(lnk target "$entry")" "$exe_windows"
  check "the $where entry's working folder is $folder_windows" \
    same_windows_path "$(lnk working_dir "$entry")" "$folder_windows"
done
folder=$(unix_path "$(lnk working_dir "$startup_lnk")")
check "the installer made the working folder and its logs\\" test -d "$folder/logs"

# The agent, started as the Startup entry starts it, on a free port that the
# edited ini names; the installed console client asks it for the status.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -i "s/^port=10012\$/port=$port/" "$ini"
(cd "$folder" && exec wine "$programs/TavinMonitorAgent.exe") >"$work/agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 300); do
  grep -aqs "Listening at $port" "$folder"/logs/TavinMonitorAgent_*.log && break
  kill -0 "$agent_pid" 2>/dev/null || break
  sleep 0.1
done
check "the agent writes its log in logs\\ of the working folder, listening on the ini's port" \
  grep -aqs "Listening at $port" "$folder"/logs/TavinMonitorAgent_*.log
console_status() { wine "$programs/tavin-console.exe" --port "$port" status >"$work/status.out" 2>&1; }
check "the installed tavin-console gets the agent's status" console_status
kill -TERM "$agent_pid" 2>/dev/null
wait "$agent_pid" 2>/dev/null
agent_pid=""
[ $failed -eq 0 ] || { echo "-- agent and console output"; cat "$work/agent.out" "$work/status.out"; }

# Repair, every file forced: the missing one comes back, the ini stays.
rm -f "$programs/tavin-console.exe"
check "a repair of $version succeeds" msiexec_quiet /i "$msi" REINSTALL=ALL REINSTALLMODE=vamus
check "the repair restores a deleted program" test -s "$programs/tavin-console.exe"
check "the repair keeps the edited ini" grep -aq "^port=$port\$" "$ini"

# Upgrade.
check "msiexec /i /qn upgrades to $newer" msiexec_quiet /i "$newer_msi"
check "only $newer is registered" test "$(registered_versions)" = "$newer "
check "the upgrade keeps the edited ini" grep -aq "^port=$port\$" "$ini"
check "the upgrade leaves the agent and its entries in place" \
  test -s "$programs/TavinMonitorAgent.exe" -a -f "$startup_lnk" -a -f "$menu_lnk"

# Uninstall.
check "msiexec /x /qn uninstalls" msiexec_quiet /x "$newer_msi"
check "the programs, the manual and the example are gone" \
  test ! -e "$programs/TavinMonitorAgent.exe" -a ! -e "$programs/tavin-console.exe" \
       -a ! -e "$programs/README.txt" -a ! -e "$programs/docs" \
       -a ! -e "$programs/TavinMonitorAgent.example.ini"
check "the entries are gone" test ! -e "$startup_lnk" -a ! -e "$menu_lnk"
check "uninstall keeps the edited ini" grep -aq "^port=$port\$" "$ini"
check "uninstall keeps the logs" grep -aqs "Listening at $port" "$folder"/logs/TavinMonitorAgent_*.log
check "nothing is registered" test -z "$(registered_versions)"

# Service mode, with the ini the uninstall kept: registered, started and
# serving; kept by an upgrade, not switched by a reinstall; removed.
service_key='HKLM\System\CurrentControlSet\Services\TavinMonitorAgent'
event_source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\TavinMonitorAgent'
registry_value() {  # registry_value KEY NAME: as reg shows it, without quotes
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r"' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
registered_service() {
  test "$(for value in ImagePath Start ObjectName; do registry_value "$service_key" $value; done)" = \
       "$(printf '%s\n' "$exe_windows --service" 0x2 'NT SERVICE\TavinMonitorAgent')" -a ! -e "$startup_lnk" -a ! -e "$menu_lnk"
}
serving() {  # serving N: once the log has N "Listening at" lines, the console's status
  for _ in $(seq 300); do [ "$(cat "$folder"/logs/*.log | grep -ac "Listening at $port")" -ge "$1" ] && break; sleep 0.1; done
  console_status
}
failed_start() {  # the service stopped with 1066 (its own error), service-specific 1
  for _ in $(seq 50); do wine sc query TavinMonitorAgent | grep -qE "SERVICE_EXIT_CODE +: 1 " && return 0; sleep 0.2; done
  return 1
}
rm -f "$folder"/logs/TavinMonitorAgent_*.log
program1=$(printf '监控程序1' | iconv -t GBK)
LC_ALL=C sed -i "s/^$program1=N/$program1=Y/" "$ini"  # enabled, its start file missing
check "msiexec /i /qn MODE=service installs $version, though the service cannot start" \
  eval 'msiexec_quiet /i "$msi" MODE=service && failed_start'
LC_ALL=C sed -i "s/^$program1=Y/$program1=N/" "$ini"
check "the service is registered: --service, automatic start, its virtual account; no entries" registered_service
check "the event source names the agent's executable" \
  test "$(registry_value "$event_source_key" EventMessageFile)" = "$exe_windows"
check "the service, started again, answers the installed console" \
  eval 'wine sc start TavinMonitorAgent >/dev/null 2>&1 && serving 1'
check "msiexec /i /qn upgrades to $newer and keeps service mode" msiexec_quiet /i "$newer_msi"
check "  the upgraded service is registered and serves" eval 'registered_service && serving 2'
check "a reinstall with MODE=tray is refused" \
  eval '! msiexec_quiet /i "$newer_msi" MODE=tray REINSTALL=ALL REINSTALLMODE=vamus'
check "  and leaves the service in place, serving" eval 'registered_service && console_status'
check "msiexec /x /qn uninstalls service mode" msiexec_quiet /x "$newer_msi"
check "the service stopped with \"Agent Closed\" last, and it and its event source are gone" \
  test "$(tail -1 "$folder"/logs/TavinMonitorAgent_*.log | tr -d '\r' | cut -c21-)" = "Agent Closed" -a \
       -z "$(registry_value "$service_key" ImagePath)" -a -z "$(registry_value "$event_source_key" EventMessageFile)"

# A working folder, a metrics port and its scrapers of the administrator's
# choice, which an upgrade keeps.
own_folder='C:\Tavin'
check "msiexec /i /qn WORKFOLDER=$own_folder METRICS_PORT=9100 installs $version" \
  msiexec_quiet /i "$msi" "WORKFOLDER=$own_folder" METRICS_PORT=9100 METRICS_ALLOWED=127.0.0.5
check "the Startup entry's working folder is $own_folder" \
  same_windows_path "$(lnk working_dir "$startup_lnk")" "$own_folder"
check "the installer made $own_folder" test -d "$(unix_path "$own_folder")"
# The upgrade switches to service mode, in the remembered working folder.
upgrade_logged() { msiexec_bounded /i "$newer_msi" /qn MODE=service /l*v "$(winepath -w "$work/upgrade.log")" >/dev/null 2>&1; }
check "msiexec /i /qn MODE=service upgrades to $newer without WORKFOLDER, in service mode" \
  eval 'upgrade_logged && registered_service'
check "the upgrade keeps the working folder $own_folder" \
  same_windows_path "$(registry_value 'HKLM\Software\TavinMonitorAgent' WorkingFolder)" "$own_folder"
kept_metrics() {
  grep -aq 'FIREWALL_PORTS = 1-9099,9101-65535' "$work/upgrade.log" &&
    grep -aq 'METRICS_ALLOWED = 127.0.0.5' "$work/upgrade.log"
}
check "the upgrade keeps the metrics port and its scrapers for the firewall rules" kept_metrics
check "msiexec /x /qn uninstalls it" msiexec_quiet /x "$newer_msi"

finish msi
