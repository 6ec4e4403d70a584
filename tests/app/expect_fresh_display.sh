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

# A display number no server uses.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done

for run in $(seq 1 "$runs"); do
  Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
  server=$!
  for _ in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.05
  done
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
