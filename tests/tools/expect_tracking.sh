#!/usr/bin/env bash
# Runs quorl-track with the given options and fails unless at least MIN percent of the frames after
# registration were tracked within 10 px of the truth.
# Usage: expect_tracking.sh QUORL_TRACK MIN [quorl-track options...]
set -euo pipefail
tool="$1"; min="$2"; shift 2
out="$("$tool" "$@")"
echo "$out"
pct="$(sed -n 's/.*within 10 px: [0-9]* (\([0-9.]*\)%).*/\1/p' <<<"$out")"
[ -n "$pct" ] || { echo "no accuracy line in the summary"; exit 1; }
awk -v p="$pct" -v m="$min" 'BEGIN { exit !(p >= m) }' || { echo "tracked within 10 px: $pct% < $min%"; exit 1; }
