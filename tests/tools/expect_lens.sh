#!/usr/bin/env bash
# Through a lens: quorl-track's robust mode with the calibration gives the pose within 0.5 degrees and 0.5 % and
# beats orb-track with the same calibration in corner error; a picture target's pose is within 1 degree and 1 %, in
# model units and in metres alike; calibration files that cannot be used are refused with their path and reason.
# Usage: expect_lens.sh QUORL_TRACK ORB_TRACK LENS_YAML
set -euo pipefail
quorl="$1"; orb="$2"; lens="$3"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
run=(--source synthetic:approach --size 640x480 --frames 120 --lens "$lens" --calibration "$lens")

# "<corner error> <rotation> <distance>" from a summary.
figures() {
  local error pose
  error=$(sed -n 's/^corner error of tracked frames: mean \([^ ]*\) px.*/\1/p' "$1")
  pose=$(sed -n 's/^pose error of tracked frames: rotation mean \([^ ]*\) deg, .*; distance mean \([^ ]*\) %.*/\1 \2/p' "$1")
  [ -n "$error" ] && [ -n "$pose" ] || { echo "no corner or pose error in $1:"; cat "$1"; exit 1; }
  echo "$error $pose"
}
"$quorl" "${run[@]}" --robust >"$dir/quorl.txt"
"$orb" "${run[@]}" >"$dir/orb.txt"
read -r qe qr qd <<<"$(figures "$dir/quorl.txt")"
read -r oe _ _ <<<"$(figures "$dir/orb.txt")"
echo "quorl-track: corner $qe px, rotation $qr deg, distance $qd %; orb-track: corner $oe px"
grep -q "through its lens: fx 535.9" "$dir/quorl.txt" || { echo "the summary does not name the lens"; exit 1; }
awk -v r="$qr" -v d="$qd" -v q="$qe" -v o="$oe" 'BEGIN { exit !(r < 0.5 && d < 0.5 && q < o) }' ||
  { echo "the calibrated pose or corners are not within the tolerances"; exit 1; }

# A picture on the table through the lens: its pose against the scene's, the same in model units and in metres.
graf="$(dirname "$lens")/graf1.png"
for width in 0 0.3; do
  args=(--source pictures:table --size 640x480 --frames 60 --lens "$lens" --calibration "$lens" --picture "$graf")
  [ "$width" = 0 ] || args+=(--picture-width "$width")
  "$quorl" "${args[@]}" >"$dir/picture-$width.txt"
  sed -n 's/^target graf1: .*; pose error: rotation mean \([^ ]*\) deg, distance mean \([^ ]*\) %$/\1 \2/p' \
    "$dir/picture-$width.txt" >"$dir/pose-$width.txt"
  read -r pr pd <"$dir/pose-$width.txt" || { echo "no pose error for graf1:"; cat "$dir/picture-$width.txt"; exit 1; }
  awk -v r="$pr" -v d="$pd" 'BEGIN { exit !(r < 1 && d < 1) }' ||
    { echo "graf1's pose is $pr deg and $pd % off (width $width)"; exit 1; }
done
cmp -s "$dir/pose-0.txt" "$dir/pose-0.3.txt" ||
  { echo "a printed width changes the pose error: $(cat "$dir/pose-0.txt") / $(cat "$dir/pose-0.3.txt")"; exit 1; }

# A truncated YAML, for tracking and for filming.
head -c 200 "$lens" >"$dir/cut.yml"
for option in --calibration --lens; do
  set +e
  "$quorl" --frames 2 "$option" "$dir/cut.yml" >"$dir/out.txt" 2>&1
  status=$?
  set -e
  [ "$status" -ne 0 ] || { echo "$option with a truncated file was accepted"; exit 1; }
  grep -q "$dir/cut.yml: " "$dir/out.txt" || { echo "$option: the message does not name the file:"; cat "$dir/out.txt"; exit 1; }
done
echo "ok"
