#!/usr/bin/env bash
# Stands in for order-reporting program 1 in the demo: appends lines to the
# day's system log and rewrites the status file once a second. Started with
# argv[0] "Tavin_ASHR.exe" so the agent's process check finds it running.
# Ends by itself after $1 seconds (default 120).
set -u
seconds=${1:-120}
mkdir -p logs/ASHR_syslog monitor
submitted=0
for ((tick = 1; tick <= seconds; tick++)); do
  now_log=$(date +%Y%m%d)
  stamp=$(date '+%Y%m%d %H:%M:%S')
  submitted=$((submitted + 7))
  confirmed=$((submitted - 2))
  trades=$((submitted / 3))
  {
    printf '[TIME]\r\nTime=%s\r\n' "$stamp"
    printf '[QEXStatus]\r\nQEXVersion=3.2.0\r\nQEXType=A\r\nOperatorTotal=2\r\nWarningLevel=0\r\n'
    for op in 1 2; do
      printf '[OperatorStatus.%d]\r\nOperator=OP00000000%d\r\nStatus=3\r\nWarningLevel=0\r\n' "$op" "$op"
      printf 'OrdNumSubmitted=%d\r\nOrdNumConfirmed=%d\r\nTradeNumber=%d\r\nMaxOrderNumber=100000\r\n' \
        "$submitted" "$confirmed" "$trades"
      printf 'CSIP=127.0.0.1\r\nLocalIP=127.0.0.1\r\nCapability=100\r\nWork=1\r\n'
    done
  } > monitor/ASHR_status.txt.tmp && mv monitor/ASHR_status.txt.tmp monitor/ASHR_status.txt
  # One line per second; a line in Chinese (GBK) every fifth second.
  if ((tick % 5 == 0)); then
    printf '%s %s\r\n' "$(date +%H:%M:%S)" "$(printf '委托已确认 %d 笔' "$confirmed" | iconv -f UTF-8 -t GBK)"
  else
    printf '%s order batch %d submitted\r\n' "$(date +%H:%M:%S)" "$tick"
  fi >> "logs/ASHR_syslog/system${now_log}.log"
  sleep 1
done
