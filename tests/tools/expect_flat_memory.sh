#!/usr/bin/env bash
# Runs quorl-track with --memory-every and fails when its resident memory grows by more than MAX_KIB
# after the first WARMUP frames (the sample at WARMUP frames, or the first one after, is the baseline).
# Usage: expect_flat_memory.sh QUORL_TRACK MAX_KIB WARMUP [quorl-track options, --memory-every included]
set -euo pipefail
tool="$1"; max="$2"; warmup="$3"; shift 3
out="$("$tool" "$@")"
echo "$out"
samples="$(sed -n 's/^memory: \([0-9]*\) frames, resident \(-\{0,1\}[0-9]*\) KiB.*$/\1 \2/p' <<<"$out")"
[ -n "$samples" ] || { echo "no memory lines in the output"; exit 1; }
awk -v max="$max" -v warmup="$warmup" '
  { frames[NR] = $1; kib[NR] = $2; if ($2 < 0) bad = 1 }
  END {
    if (bad) { print "resident memory could not be read"; exit 1 }
    for (i = 1; i <= NR && frames[i] < warmup; ++i) {}
    if (i > NR) { print "no sample after the warm-up of " warmup " frames"; exit 1 }
    base = kib[i]; peak = base
    for (j = i; j <= NR; ++j) if (kib[j] > peak) peak = kib[j]
    printf "resident memory: first %d KiB; after %d frames %d KiB; at the end (%d frames) %d KiB; peak %d KiB; growth after warm-up %d KiB (limit %d)\n", kib[1], frames[i], base, frames[NR], kib[NR], peak, peak - base, max
    exit (peak - base > max)
  }' <<<"$samples" || { echo "resident memory grew by more than $max KiB after the warm-up"; exit 1; }
