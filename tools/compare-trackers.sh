#!/usr/bin/env bash
# Runs quorl-track and its ORB peer orb-track on every synthetic motion profile at 320x240 and 640x480 on
# identical frames, and prints one table: success rate, mean corner error, median ms per frame of each, and
# the ratio of quorl-track's time to orb-track's.
#   usage: compare-trackers.sh [BUILD_DIR]     (default: build)
#   FRAMES (default 600) and SEED (default 1) in the environment change the runs.
# The runs go one after the other so that they do not compete for the processor. Each run's CSV and
# summary stay in BUILD_DIR/compare.
set -euo pipefail

build="${1:-build}"
frames="${FRAMES:-600}"
seed="${SEED:-1}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
camera="$root/Data/camera_param.dat"
profiles=(orbit zoom spin shake occlude leave)
sizes=(320x240 640x480)

fail() {
  echo "compare-trackers: $*" >&2
  exit 1
}

declare -A tool=([quorl]="$build/tools/quorl-track" [orb]="$build/bench/orb-track")
for name in quorl orb; do
  [ -x "${tool[$name]}" ] || fail "${tool[$name]} is missing; build it first:" \
    "cmake --build $build --target quorl-track orb-track"
done
[[ "$frames" =~ ^[1-9][0-9]*$ ]] || fail "FRAMES wants a positive count, not '$frames'"
[[ "$seed" =~ ^[0-9]+$ ]] || fail "SEED wants a number, not '$seed'"
out="$build/compare"
mkdir -p "$out" || fail "cannot create $out"

# Prints "success mean median" from a summary file; fails when a line is missing.
figures() {
  local success mean median
  success=$(sed -n 's/.*within 10 px: [0-9]* (\([0-9.]*\)%).*/\1/p' "$1")
  mean=$(sed -n 's/^corner error of tracked frames: mean \([^ ]*\) px.*/\1/p' "$1")
  median=$(sed -n 's/^ms per tracked frame: median \([^,]*\),.*/\1/p' "$1")
  if [ -z "$success" ] || [ -z "$mean" ] || [ -z "$median" ]; then fail "no summary figures in $1"; fi
  echo "$success $mean $median"
}

cpu=$(sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo 2>/dev/null | head -n 1)
opencv=$(pkg-config --modversion opencv4 2>/dev/null || echo unknown)
rows=()
for profile in "${profiles[@]}"; do
  for size in "${sizes[@]}"; do
    line="$profile $size"
    for name in quorl orb; do
      base="$out/$name-$profile-$size"
      echo "compare-trackers: ${tool[$name]##*/} on $profile at $size" >&2
      "${tool[$name]}" --source "synthetic:$profile" --size "$size" --frames "$frames" --seed "$seed" \
        --camera-params "$camera" --csv "$base.csv" >"$base.txt" 2>"$base.err" ||
        { cat "$base.err" >&2; fail "${tool[$name]} failed on $profile at $size"; }
      line="$line $(figures "$base.txt")"
    done
    rows+=("$line")
  done
done

echo "machine: $(nproc) cores, ${cpu:-unknown CPU}; OpenCV $opencv"
echo "runs: synthetic profiles, $frames frames each, seed $seed; both trackers see identical frames"
echo "success: share of frames after registration whose mean corner error is under 10 px"
echo "error: mean corner error (px) of the frames whose quad passed the check; ms: median per frame"
echo
printf '%-8s %-8s | %-24s | %-24s | %s\n' "" "" "quorl-track" "orb-track (OpenCV ORB)" "quorl/orb"
printf '%-8s %-8s | %8s %7s %7s | %8s %7s %7s | %9s\n' profile size success error ms success error ms "ms ratio"
printf '%s\n' "------------------+--------------------------+--------------------------+----------"
for line in "${rows[@]}"; do
  # shellcheck disable=SC2086
  set -- $line
  ratio=$(awk -v q="$5" -v o="$8" 'BEGIN { if (o > 0) printf "%.2f", q / o; else print "n/a" }')
  printf '%-8s %-8s | %7s%% %7s %7s | %7s%% %7s %7s | %9s\n' "$1" "$2" "$3" "$4" "$5" "$6" "$7" "$8" "$ratio"
done
