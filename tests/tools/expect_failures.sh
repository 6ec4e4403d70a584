#!/usr/bin/env bash
# quorl-track refuses bad input with a clear message and a non-zero exit.
# Usage: expect_failures.sh QUORL_TRACK CALIBRATION [ORB_TRACK]
set -uo pipefail
tool="$1"
calibration="$2"
orb="${3:-}"
fixed=(--quiet)
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/../lib.sh"

echo "not a video" > "$tmp/bad.avi"
expect 1 "Cannot find the file" --source "$tmp/missing.avi"
expect 1 "Cannot read the video" --source "$tmp/bad.avi"
expect 2 "eight integers" --corners 1,2,3,4
expect 2 "eight integers" --corners 1,2,3,4,5,6,7,x
expect 1 "past the end" --frames 10 --register-frame 10
"$tool" --quiet --frames 5 --warmup 0 --save-display "$tmp/seq" >/dev/null 2>&1
expect 1 "does not know where the target is" --source "$tmp/seq/%06d.png"
expect 1 "past the end" --source "$tmp/seq/%06d.png" --register-frame 7 --corners 80,60,240,60,240,180,80,180
expect 1 "No readable image" --source "$tmp/none%03d.png"
expect 2 "unknown option" --bogus
expect 2 "needs a value" --frames
expect 2 "WxH" --size 10x10
expect 2 "corner-type" --corner-type 4
expect 2 "ambiguous: --robust, --robust-without" --rob
expect 2 "cannot share standard output" --csv - --json -
expect 1 "Cannot read the target image" --target-image "$tmp/bad.avi"

# A calibration named on the command line must be readable: the message, the path and the reason.
head -c 60 "$calibration" > "$tmp/short.dat"
expect 2 "File read error!!! $tmp/short.dat: 60 of 136 bytes" --camera-params "$tmp/short.dat"
expect 2 "Can't find the camera parameter file!!! $tmp/none.dat: No such file or directory" \
  --camera-params "$tmp/none.dat"
head -c 136 /dev/zero > "$tmp/zero.dat"
expect 2 "File read error!!! $tmp/zero.dat: the values describe no camera" --camera-params "$tmp/zero.dat"
# Corners with no part inside the frame are refused; crossing ones are a warning.
expect 2 "no part of the target inside the 320x240 frame" --corners -500,-500,-400,-500,-400,-400,-500,-400
expect 0 "warning: the --corners cross themselves" --frames 3 --corners 80,60,240,180,240,60,80,180
expect 0 "warning: the target registered on frame 0 has 0 model points" --frames 3 --corners 5,5,6,5,6,6,5,6

# summary_has PATTERN ARGS...: the run succeeds and its summary matches PATTERN.
summary_has() {
  local pattern="$1"; shift
  local out
  if ! out="$(cd "$tmp" && "$tool" "$@" 2>/dev/null)" || ! grep -q -- "$pattern" <<<"$out"; then
    fail "quorl-track $* -> '$out' (wanted /$pattern/)"
  fi
}
# Outside the checkout the calibration is found where the program is installed (../share/quorl/Data).
mkdir -p "$tmp/bin" "$tmp/share/quorl/Data"
cp "$tool" "$tmp/bin/"
cp "$calibration" "$tmp/share/quorl/Data/"
tool="$tmp/bin/$(basename "$tool")"
summary_has "calibration: $tmp/share/quorl/Data/camera_param.dat" --frames 3
# --size scales the frames of a sequence.
summary_has "image sequence '$tmp/seq/%06d.png', 160x120" --source "$tmp/seq/%06d.png" --size 160x120 \
  --corners 40,30,120,30,120,90,40,90
summary_has "^  state  *detecting, tracking, holding or lost" --help

# A write that fails (a full disk) is an error naming what was written, never a success.
expect 1 "cannot write /dev/full: No space left" --frames 5 --csv /dev/full
expect 1 "cannot write /dev/full" --frames 5 --json /dev/full
mkdir -p "$tmp/frames/000000.png"  # a folder where the first picture goes
expect 1 "cannot write $tmp/frames/000000.png" --frames 5 --save-frames "$tmp/frames"
if "$tool" --frames 5 >/dev/full 2>"$tmp/err.txt" || ! grep -q "cannot write to standard output" "$tmp/err.txt"; then
  fail "a summary to a full standard output counted as written: $(cat "$tmp/err.txt")"
fi
# With --json - standard output carries the JSON lines alone: the summary and the ratings go to standard error.
picture="$tmp/seq/000000.png"
if ! (cd "$tmp" && "$tool" --frames 5 --picture "$picture" --json - 2>/dev/null) |
    python3 -c "import json, sys; [json.loads(line) for line in sys.stdin]"; then
  fail "--json - wrote something other than JSON lines to standard output"
fi

# With --csv - standard output carries the CSV alone, in both trackers, with a clicked target or pictures.
for tracker in "$tool" ${orb:+"$orb"}; do
  for run in "--frames 5" "--frames 5 --source pictures:table --picture $picture"; do
    # shellcheck disable=SC2086
    if ! "$tracker" $run --csv - 2>/dev/null | awk -F, 'NR > 1 && NF < 17 { bad = 1 } END { exit bad || NR < 2 }'; then
      fail "$(basename "$tracker") $run --csv - wrote something other than CSV rows to standard output"
    fi
  done
done

finish "quorl-track's refusals"
