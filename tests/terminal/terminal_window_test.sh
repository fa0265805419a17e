#!/usr/bin/env bash
# The agent's terminal window, driven through tmux: the agent runs in a
# detached tmux session of a private tmux server, keys are typed with
# send-keys and the screen is read with capture-pane; the real console client
# makes the counters move.
#
#   terminal_window_test.sh AGENT CONSOLE
#
# Exit status 0 when every check passes, 1 otherwise, 77 without tmux.
set -u

agent_binary=$1
console=$2
command -v tmux >/dev/null || { echo "tmux is not installed"; exit 77; }

export LC_ALL=C.UTF-8  # tmux and wc -L count the Chinese characters as two columns
work=$(mktemp -d "${TMPDIR:-/tmp}/tavin-terminal.XXXXXX")
socket=$work/tmux.sock
tmux_server_pid=""
pane_pid=""
agent_pid=""
failures=0

t() { tmux -S "$socket" -f /dev/null "$@"; }

cleanup() {
  local pid
  for pid in "$agent_pid" "$pane_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null; fi
  done
  if [ -n "$tmux_server_pid" ] && kill -0 "$tmux_server_pid" 2>/dev/null; then
    kill -TERM "$tmux_server_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

pane() { t capture-pane -p -t agent 2>/dev/null; }

show_pane() {
  echo "---- screen ----"
  pane
  echo "----------------"
}

# wait_for TEXT [SECONDS]: until the screen shows TEXT.
wait_for() {
  local text=$1 deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -le $deadline ]; do
    pane | grep -qF -- "$text" && return 0
    sleep 0.1
  done
  fail "the screen does not show '$text'"
  show_pane
  return 1
}

# wait_gone TEXT [SECONDS]: until the screen no longer shows TEXT.
wait_gone() {
  local text=$1 deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -le $deadline ]; do
    pane | grep -qF -- "$text" || return 0
    sleep 0.1
  done
  fail "the screen still shows '$text'"
  show_pane
  return 1
}

log_file() { ls "$work"/logs/TavinMonitorAgent_*.log 2>/dev/null | head -1; }
# The day's log as UTF-8.
log_text() { local f; f=$(log_file); [ -n "$f" ] && iconv -f GBK -t UTF-8 "$f" | tr -d '\r'; }

wait_for_log() {
  local text=$1 deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -le $deadline ]; do
    log_text | grep -qF -- "$text" && return 0
    sleep 0.1
  done
  fail "the log does not hold '$text'"
  return 1
}

# ended PID: the process is gone or a zombie its parent has not reaped yet
# (tmux sometimes leaves a pane's process unreaped for a long time).
ended() {
  local state
  state=$(awk '/^State:/ { print $2 }' "/proc/$1/status" 2>/dev/null) || return 0
  [ -z "$state" ] || [ "$state" = Z ]
}

# wait_for_exit SECONDS: until the agent's process has ended.
wait_for_exit() {
  local deadline=$((SECONDS + $1))
  while [ $SECONDS -le $deadline ]; do
    ended "$agent_pid" && return 0
    sleep 0.1
  done
  fail "the agent (pid $agent_pid) did not end"
  return 1
}

status_request() { "$console" --port "$port" --timeout 5 status >/dev/null 2>&1; }

is_agent() { [ "$(basename "$(readlink "/proc/$1/exe" 2>/dev/null)")" = TavinMonitorAgent ]; }

# start_agent COMMAND: a fresh session running COMMAND in the work
# directory, kept on screen after it ends so that its last state can be read.
start_agent() {
  local deadline=$((SECONDS + 10))
  if [ -n "$pane_pid" ] && kill -0 "$pane_pid" 2>/dev/null; then kill -KILL "$pane_pid"; fi
  t kill-session -t agent 2>/dev/null
  t new-session -d -s agent -x 100 -y 30 -c "$work" "$1" ||
    { fail "tmux did not start"; exit 1; }
  t set-option -t agent remain-on-exit on >/dev/null
  tmux_server_pid=$(t display-message -p '#{pid}')
  pane_pid=$(t display-message -p -t agent '#{pane_pid}')
  agent_pid=""
  local pid
  while [ -z "$agent_pid" ] && [ $SECONDS -le $deadline ]; do
    for pid in "$pane_pid" $(pgrep -P "$pane_pid"); do
      is_agent "$pid" && agent_pid=$pid
    done
    [ -n "$agent_pid" ] || sleep 0.1
  done
  [ -n "$agent_pid" ] || { fail "the agent did not start"; show_pane; exit 1; }
  wait_for "Hostname: " 15 || exit 1
}

cp "$agent_binary" "$work/TavinMonitorAgent"
# Port 0: the system picks a free port, which the window shows.
printf '[PORT]\r\nport=0\r\n[ACCESS_CONTROL]\r\nip1=127.0.0.1\r\n' >"$work/TavinMonitorAgent.ini"
# After the agent: its exit status and whether the terminal got its line
# editing and echo back, on the screen the agent gave back.
cat >"$work/run.sh" <<'SCRIPT'
./TavinMonitorAgent
status=$?
settings=" $(stty -a | tr '\n;' '  ') "
case "$settings" in
  *" -icanon "* | *" -echo "* | *" -isig "*) state="left raw" ;;
  *) state=restored ;;
esac
echo "agent exit status $status, terminal $state"
exec sleep 300
SCRIPT

# --- the window and its counters ---
start_agent "sh ./run.sh"
[ "$(t display-message -p -t agent '#{alternate_on}')" = 1 ] || fail "not on the alternate screen"
wait_for "报盘机监视探针"
wait_for "正在运行"
wait_for "[S] 停止"
wait_for "版本：2011版"
wait_for "已接收消息数 0"
port=$(log_text | sed -n 's/.*Listening at \([0-9]*\)$/\1/p' | tail -1)
[ -n "$port" ] || { fail "no 'Listening at' line in the log"; exit 1; }
wait_for "端口: $port"
wait_for "连接数: 0"

status_request || fail "a status request failed"
status_request || fail "a status request failed"
wait_for "Client 127.0.0.1 connected"
wait_for "Client 127.0.0.1 lost"
# The sent counter is shown at the next refresh, at most a heartbeat later.
wait_for "已接收消息数 2" 15
wait_for "已发送消息数 2" 15

# --- the start/stop key stops and restarts listening ---
t send-keys -t agent s
wait_for "已停止"
wait_for "[S] 启动"
status_request && fail "the agent still answers while stopped"
t send-keys -t agent S
wait_for "正在运行"
wait_for "[S] 停止"
status_request || fail "no answer after the restart"
wait_for "已接收消息数 3" 15

# --- "记录所有消息" turns raw logging on for real ---
t send-keys -t agent a
wait_for "[A] [x] 记录所有消息"
status_request || fail "a status request failed"
wait_for_log "[From: 127.0.0.1]received:"
t send-keys -t agent a
wait_for "[A] [ ] 记录所有消息"

# --- the tray check boxes only keep their states ---
t send-keys -t agent t
wait_for "[T] [ ] 显示托盘图标"
t send-keys -t agent h
wait_for "[H] [x] 最小化时隐藏"  # greyed out: unchanged
t send-keys -t agent t h
wait_for "[H] [ ] 最小化时隐藏"

# --- a new size is drawn at once ---
t resize-window -t agent -x 120 -y 35
wait_for "$(printf '%*s' 120 '' | tr ' ' '-')"
status_line=$(pane | grep -F "版本：2011版")
[ "$(printf '%s' "$status_line" | wc -L)" = 120 ] || fail "the status bar is not 120 columns wide"

# --- exit asks first; No leaves it running and writes nothing ---
lines_before=$(log_text | wc -l)
t send-keys -t agent q
wait_for "您确定要退出吗？ (Y/N)"
t send-keys -t agent s  # the question takes only its answers
sleep 0.3
pane | grep -qF "[S] 停止" || fail "a key other than Y or N acted behind the question"
t send-keys -t agent n
wait_gone "您确定要退出吗？"
kill -0 "$agent_pid" 2>/dev/null || fail "the agent ended after No"
status_request || fail "no answer after No"
log_text | grep -qF "Agent Closed" && fail "'Agent Closed' written after No"
[ "$(log_text | wc -l)" -gt "$lines_before" ] || fail "the status request after No left no line"

# --- Yes closes the agent and gives the terminal back ---
t send-keys -t agent x
wait_for "您确定要退出吗？ (Y/N)"
t send-keys -t agent y
wait_for_exit 10
[ "$(log_text | tail -1 | cut -c21-)" = "Agent Closed" ] || fail "'Agent Closed' is not the last line"
wait_for "agent exit status 0, terminal restored"
[ "$(t display-message -p -t agent '#{alternate_on}')" = 0 ] || fail "still on the alternate screen"
[ "$(t display-message -p -t agent '#{cursor_flag}')" = 1 ] || fail "the cursor stays hidden"

# --- Ctrl-C is the confirmed exit without a question ---
# The wrapper reports the exit status: tmux's own record of it is not
# reliable. The wrapper's shell gets the SIGINT too and goes on, since the
# agent handled it and exited normally.
lines_before=$(log_text | wc -l)
start_agent "bash ./run.sh"
t send-keys -t agent C-c
wait_for_exit 10
[ "$(log_text | wc -l)" -gt "$lines_before" ] &&
  [ "$(log_text | tail -1 | cut -c21-)" = "Agent Closed" ] || fail "Ctrl-C did not close the agent"
wait_for "agent exit status 0, terminal restored"
[ "$(t display-message -p -t agent '#{alternate_on}')" = 0 ] || fail "still on the alternate screen after Ctrl-C"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "terminal window: all checks passed"
