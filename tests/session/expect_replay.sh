#!/usr/bin/env bash
# quorl-track --record then --replay, twice: both replays' CSVs equal each other and the recording's, times
# aside (the ms and frameRate columns), in the default mode, in the robust mode with a picture target beside
# the clicked one, and on the picture scene (per-target truth). Then the refusals: options the session fixes,
# a missing or damaged session, a folder that already holds files.
# Usage: expect_replay.sh QUORL_TRACK CALIBRATION PICTURES_DIR
set -uo pipefail
tool="$1"
calibration="$2"
pictures="$3"
fixed=(--quiet)
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/../lib.sh"

# The CSV without the columns that hold times.
untimed() { awk -F, 'NR == 1 { for (i = 1; i <= NF; ++i) drop[i] = ($i == "ms" || $i == "frameRate") }
  { line = ""; for (i = 1; i <= NF; ++i) if (!drop[i]) line = line $i ","; print line }' "$1"; }

# roundtrip NAME ARGS...: records a run, replays it twice, compares the three CSVs.
roundtrip() {
  local name="$1"; shift
  local dir="$tmp/$name"
  if ! "$tool" --quiet --frames 40 --camera-params "$calibration" "$@" --record "$dir" --csv "$tmp/$name.0.csv"; then
    fail "$name: the recording run failed"
    return
  fi
  for i in 1 2; do
    "$tool" --quiet --replay "$dir" --csv "$tmp/$name.$i.csv" || fail "$name: replay $i failed"
  done
  untimed "$tmp/$name.0.csv" > "$tmp/$name.0.txt"
  [ "$(wc -l < "$tmp/$name.0.txt")" -ge 40 ] || fail "$name: the recording's CSV has too few rows"
  grep -q ',tracking,' "$tmp/$name.0.txt" || fail "$name: nothing tracked in the recording"
  for i in 1 2; do
    untimed "$tmp/$name.$i.csv" > "$tmp/$name.$i.txt"
    diff -q "$tmp/$name.0.txt" "$tmp/$name.$i.txt" > /dev/null || fail "$name: replay $i differs from the recording:
$(diff "$tmp/$name.0.txt" "$tmp/$name.$i.txt" | head -5)"
  done
}

roundtrip default --source synthetic:orbit
roundtrip robust --source synthetic:zoom --robust --picture "$pictures/box.png" --picture-width 0.2 \
  --corners 100,60,220,60,220,180,100,180
roundtrip scene --source pictures:table --size 640x480 --picture "$pictures/box.png" --picture "$pictures/graf1.png"
grep -q '"target_truth"' "$tmp/scene/session.json" || fail "the picture scene's session holds no per-target truth"
grep -q ',box,.*,tracking,[0-9]' "$tmp/scene.1.csv" || fail "the replayed picture scene has no truth columns for box"

expect 2 "--robust cannot be given with --replay: the session sets it" --replay "$tmp/default" --robust
expect 2 "--size cannot be given with --replay" --size 640x480 --replay "$tmp/default"
expect 2 "--calibration cannot be given with --replay" --replay "$tmp/default" --calibration "$calibration"
expect 0 "" --replay "$tmp/default" --frames 5 --json "$tmp/poses.jsonl"
[ "$(wc -l < "$tmp/poses.jsonl")" -eq 5 ] || fail "--frames 5 beside --replay did not give 5 pose lines"
expect 2 "$tmp/none: no such folder" --replay "$tmp/none"
expect 1 "cannot record: $tmp/default: the folder is not empty" --record "$tmp/default" --frames 2
cp -r "$tmp/default" "$tmp/cut"
rm "$tmp/cut/frames/000007.png"
expect 2 "$tmp/cut/frames/000007.png: missing; session.json lists 40 frames" --replay "$tmp/cut"
head -c 300 "$tmp/default/session.json" > "$tmp/cut/session.json"
expect 2 "$tmp/cut/session.json: not valid JSON (cut short or damaged)" --replay "$tmp/cut"

finish "record and replay"
