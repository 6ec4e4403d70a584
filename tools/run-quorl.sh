#!/usr/bin/env bash
# Starts Quorl from the build folder given as $1: the desktop program when there is an X display
# (it draws through X11, XWayland included), otherwise the headless tracker on the synthetic scene.
set -euo pipefail
build="${1:-build}"
if [ -x "$build/app/quorl" ] && [ -n "${DISPLAY:-}" ]; then
  exec "$build/app/quorl"
fi
exec "$build/tools/quorl-track" --source synthetic --frames 300
