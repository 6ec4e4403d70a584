#!/usr/bin/env bash
# quorl-track on a target that leaves the picture: no frame without the target in view is in state
# tracking, and the summary's per-state counts are those of the CSV's state column.
# Usage: expect_honest_state.sh QUORL_TRACK SIZE [quorl-track options...]
set -euo pipefail
tool="$1"; size="$2"; shift 2
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
"$tool" --source synthetic:leave --size "$size" --csv "$tmp/run.csv" "$@" >"$tmp/summary.txt"
cat "$tmp/summary.txt"

# Columns by name; a target wholly out of view has all true corners beyond one side of the picture.
awk -F, -v size="$size" '
  NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; split(size, wh, "x"); next }
  {
    count[$col["state"]]++
    left = right = top = bottom = 1
    for (k = 0; k < 4; k++) {
      x = $col["gt_x" k]; y = $col["gt_y" k]
      if (x >= 0) left = 0
      if (x <= wh[1] - 1) right = 0
      if (y >= 0) top = 0
      if (y <= wh[2] - 1) bottom = 0
    }
    if (left || right || top || bottom) { away++; if ($col["state"] == "tracking") shown++ }
  }
  END {
    printf "states of the %d frames from frame 0 on: detecting %d, tracking %d, holding %d, lost %d\n",
           NR - 1, count["detecting"], count["tracking"], count["holding"], count["lost"] > "'"$tmp/expected.txt"'"
    printf "%d frames without the target in view, %d of them in state tracking\n", away, shown
    exit !(away > 0 && shown == 0)
  }' "$tmp/run.csv"
grep -qxF -f "$tmp/expected.txt" "$tmp/summary.txt" || { echo "summary counts differ from the CSV: $(cat "$tmp/expected.txt")"; exit 1; }
