#!/usr/bin/env bash
# Quorl starts on a display server that has no other client, again and again: each run gets a new Xvfb,
# which resets whenever its last client leaves, and Quorl must open its window there and keep running.
#   usage: expect_fresh_display.sh QUORL RUNS
set -uo pipefail
quorl="$1"
runs="$2"
command -v Xvfb >/dev/null || { echo "Xvfb is missing"; exit 1; }
log=$(mktemp)
trap 'rm -f "$log"; [ -z "${server:-}" ] || kill "$server" 2>/dev/null' EXIT

for run in $(seq 1 "$runs"); do
  # The server takes a display number no other server has (-displayfd), so that tests running at once never
  # share one.
  fifo="$(mktemp -u)"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  server=$!
  display=
  read -r -t 10 display <"$fifo"
  rm -f "$fifo"
  if [ -z "${display:-}" ]; then
    echo "run $run: Xvfb did not start"
    exit 1
  fi
  # Quorl keeps running until it is stopped: status 124 from timeout is success.
  DISPLAY=":$display" QT_QPA_PLATFORM=xcb LSAN_OPTIONS=detect_leaks=0 timeout 3 "$quorl" --source synthetic >"$log" 2>&1
  status=$?
  kill "$server" 2>/dev/null
  wait "$server" 2>/dev/null
  server=
  if [ "$status" -ne 124 ]; then
    echo "run $run: quorl ended with status $status on a fresh display"
    cat "$log"
    exit 1
  fi
done
echo "quorl started $runs times on a fresh display"
