#!/usr/bin/env bash
# Runs quorl-track (its default and its robust mode) and its ORB peer orb-track on every synthetic motion
# profile at 320x240 and 640x480 on identical frames, and prints one table: success rate, mean corner error
# and median ms per frame of each, the 95th percentile ms of the robust mode, and the ratios of
# quorl-track's times to orb-track's. Then the jitter on the still profile: the standard deviation of each
# corner's x and y over the tracked frames, per tracker.
#   usage: compare-trackers.sh [BUILD_DIR]     (default: build)
#   Environment: FRAMES (default 600) and SEED (default 1) change the runs; PROFILES (default: every
#   profile quorl-track lists) and SIZES (default "320x240 640x480") choose them; TARGET names a picture
#   to show as the target instead of the built-in texture; THREADS (default 1) is the OpenCV worker thread
#   count every tracker runs with. Then the picture scenes (pictures:table, return, swap, far, steep) with the
#   pictures of PICTURES (default: opencv-doc's graf1.png, box.png and butterfly.jpg) as targets: per
#   target, success, false finds (tracking while out of view or over 10 px off), mean corner error and
#   the median ms per frame of quorl-track and orb-track; PICTURE_SCENES chooses the scenes ("" for none).
#   Then the profiles LENS_PROFILES (default "orbit approach tilt zoom recede") filmed through the lens of LENS
#   (default opencv-doc's left_intrinsics.yml) at LENS_SIZE (default 640x480): the robust mode without and with
#   --calibration and orb-track with it, with the pose's rotation and distance errors, and the picture scenes of
#   PICTURE_LENS_SCENES (default "table far") through the same lens, with the pictures' poses. Then picture libraries of
#   LIBRARY_SIZES (default "10 100 1000") pictures made here, on the deck scene (see the section below); orb-track
#   only up to ORB_LIBRARY_LIMIT (default 100) pictures. Then twenty of those pictures at once on the wall scene.
# The runs go one after the other so that they do not compete for the processor. Each run's CSV and
# summary stay in BUILD_DIR/compare.
set -euo pipefail

build="${1:-build}"
frames="${FRAMES:-600}"
seed="${SEED:-1}"
target="${TARGET:-}"
threads="${THREADS:-1}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
camera="$root/Data/camera_param.dat"
read -r -a sizes <<<"${SIZES:-320x240 640x480}"

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
[[ "$threads" =~ ^[1-9][0-9]*$ ]] || fail "THREADS wants a positive count, not '$threads'"
[ -z "$target" ] || [ -r "$target" ] || fail "TARGET '$target' is not a readable file"
if [ -n "${PROFILES:-}" ]; then
  read -r -a profiles <<<"$PROFILES"
else
  mapfile -t profiles < <("${tool[quorl]}" --list-profiles) || fail "quorl-track cannot list its profiles"
fi
[ "${#profiles[@]}" -gt 0 ] || fail "no profiles to run"
out="$build/compare"
mkdir -p "$out" || fail "cannot create $out"

# Prints "success mean median p95" from a summary file; fails when a line is missing.
figures() {
  local success mean median p95
  success=$(sed -n 's/.*within 10 px: [0-9]* (\([0-9.]*\)%).*/\1/p' "$1")
  mean=$(sed -n 's/^corner error of tracked frames: mean \([^ ]*\) px.*/\1/p' "$1")
  median=$(sed -n 's/^ms per tracked frame: median \([^,]*\),.*/\1/p' "$1")
  p95=$(sed -n 's/^ms per tracked frame: .*95th percentile \([0-9.a-z]*\).*/\1/p' "$1")
  if [ -z "$success" ] || [ -z "$mean" ] || [ -z "$median" ] || [ -z "$p95" ]; then
    fail "no summary figures in $1"
  fi
  echo "$success $mean $median $p95"
}

# Prints the standard deviation (px) of quad_x0, quad_y0, ..., quad_y3 over the tracked frames of a CSV,
# then their largest. Columns are found by their header names. A frame counts as tracked when its state
# column says "tracking"; in a CSV without one, when its corner error (err_px) is under 10 px. The first
# row, the registration, is left out.
jitter() {
  awk -F, '
    NR == 1 { for (i = 1; i <= NF; ++i) col[$i] = i; next }
    NR == 2 { next }
    {
      if ("state" in col) { if ($col["state"] != "tracking") next }
      else if ("err_px" in col) { if ($col["err_px"] + 0 >= 10) next }
      ++n
      for (k = 0; k < 4; ++k) {
        x = $col["quad_x" k]; y = $col["quad_y" k]
        sum[2 * k] += x; sq[2 * k] += x * x; sum[2 * k + 1] += y; sq[2 * k + 1] += y * y
      }
    }
    END {
      if (n < 2) { print "too few tracked frames"; exit }
      worst = 0
      for (j = 0; j < 8; ++j) {
        v = sq[j] / n - (sum[j] / n) ^ 2
        sd = v > 0 ? sqrt(v) : 0
        worst = sd > worst ? sd : worst
        printf "%.3f ", sd
      }
      printf "| max %.3f px over %d frames\n", worst, n
    }' "$1"
}

cpu=$(sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo 2>/dev/null | head -n 1)
opencv=$(pkg-config --modversion opencv4 2>/dev/null || echo unknown)
rows=()
for profile in "${profiles[@]}"; do
  for size in "${sizes[@]}"; do
    line="$profile $size"
    for name in quorl robust orb; do
      base="$out/$name-$profile-$size"
      args=(--source "synthetic:$profile" --size "$size" --frames "$frames" --seed "$seed"
        --camera-params "$camera" --csv "$base.csv" --threads "$threads")
      [ -z "$target" ] || args+=(--target-image "$target")
      [ "$name" != robust ] || args+=(--robust)
      program="${tool[$name]:-${tool[quorl]}}"
      echo "compare-trackers: $name on $profile at $size" >&2
      "$program" "${args[@]}" >"$base.txt" 2>"$base.err" ||
        { cat "$base.err" >&2; fail "$name failed on $profile at $size"; }
      line="$line $(figures "$base.txt")"
    done
    rows+=("$line")
  done
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else print "n/a" }'; }

echo "machine: $(nproc) cores, ${cpu:-unknown CPU}; OpenCV $opencv; every tracker on $threads OpenCV thread(s)"
echo "runs: synthetic profiles, $frames frames each, seed $seed, target ${target:-built-in}; all trackers see identical frames"
echo "success: share of frames after registration whose mean corner error is under 10 px"
echo "error: mean corner error (px) of the frames whose quad passed the check; ms: median per frame; p95: 95th percentile"
echo
printf '%-8s %-7s | %-22s | %-29s | %-22s | %s\n' "" "" "quorl-track default" "quorl-track --robust" \
  "orb-track (OpenCV ORB)" "ms ratio to ORB"
printf '%-8s %-7s | %7s %6s %7s | %7s %6s %7s %6s | %7s %6s %7s | %7s %6s\n' profile size success error ms \
  success error ms p95 success error ms default robust
printf '%s\n' "-----------------+------------------------+-------------------------------+------------------------+---------------"
for line in "${rows[@]}"; do
  # shellcheck disable=SC2086
  set -- $line
  printf '%-8s %-7s | %6s%% %6s %7s | %6s%% %6s %7s %6s | %6s%% %6s %7s | %7s %6s\n' "$1" "$2" "$3" "$4" "$5" \
    "$7" "$8" "$9" "${10}" "${11}" "${12}" "${13}" "$(ratio "$5" "${13}")" "$(ratio "$9" "${13}")"
done

# The picture scenes: one row per scene, size and target.
data=/usr/share/doc/opencv-doc/examples/data
read -r -a pictures <<<"${PICTURES:-$data/graf1.png $data/box.png $data/butterfly.jpg}"
read -r -a scenes <<<"${PICTURE_SCENES-table return swap far steep}"
picture_rows=()
if [ "${#scenes[@]}" -gt 0 ]; then
  for p in "${pictures[@]}"; do [ -r "$p" ] || fail "picture $p is not readable (PICTURES)"; done
  picture_args=()
  for p in "${pictures[@]}"; do picture_args+=(--picture "$p"); done
  for scene in "${scenes[@]}"; do
    for size in "${sizes[@]}"; do
      for name in quorl orb; do
        base="$out/pictures-$name-$scene-$size"
        echo "compare-trackers: $name on pictures:$scene at $size" >&2
        "${tool[$name]}" --source "pictures:$scene" --size "$size" --frames "$frames" --seed "$seed" \
          --camera-params "$camera" --threads "$threads" --csv "$base.csv" "${picture_args[@]}" >"$base.txt" \
          2>"$base.err" || { cat "$base.err" >&2; fail "$name failed on pictures:$scene at $size"; }
      done
      ms_quorl=$(sed -n 's/^ms per frame: median \([^,]*\),.*/\1/p' "$out/pictures-quorl-$scene-$size.txt")
      ms_orb=$(sed -n 's/^ms per frame: median \([^,]*\),.*/\1/p' "$out/pictures-orb-$scene-$size.txt")
      for p in "${pictures[@]}"; do
        target=$(basename "${p%.*}")
        line="$scene $size $target"
        for name in quorl orb; do
          # "target NAME: ...; within 10 px W of V frames wholly in view (P%), false finds F, mean error E px"
          figures=$(sed -n "s/^target $target: .*wholly in view (\([0-9.]*\)%), false finds \([0-9]*\), mean error \([^ ]*\) px.*/\1 \2 \3/p" \
            "$out/pictures-$name-$scene-$size.txt")
          [ -n "$figures" ] || fail "no figures for $target in $out/pictures-$name-$scene-$size.txt"
          line="$line $figures"
        done
        picture_rows+=("$line $ms_quorl $ms_orb")
      done
    done
  done
  echo
  echo "picture targets: $(for p in "${pictures[@]}"; do basename "$p"; done | tr '\n' ' ')on the picture scenes, $frames frames each"
  echo "success: share of the frames with the target wholly in view tracked within 10 px; false: frames tracked while"
  echo "out of view or over 10 px off; error: mean corner error (px) of the tracked frames in view; ms: median per frame"
  echo
  printf '%-7s %-7s %-10s | %-29s | %-29s\n' "" "" "" "quorl-track" "orb-track (OpenCV ORB)"
  printf '%-7s %-7s %-10s | %7s %5s %6s %7s | %7s %5s %6s %7s\n' scene size target success false error ms \
    success false error ms
  printf '%s\n' "---------------------------+-------------------------------+------------------------------"
  for line in "${picture_rows[@]}"; do
    # shellcheck disable=SC2086
    set -- $line
    printf '%-7s %-7s %-10s | %6s%% %5s %6s %7s | %6s%% %5s %6s %7s\n' "$1" "$2" "$3" "$4" "$5" "$6" "${10}" \
      "$7" "$8" "$9" "${11}"
  done
fi

# Through a lens: the synthetic scene filmed through LENS (default opencv-doc's left camera) at LENS_SIZE, tracked
# by the robust mode without the calibration (the camera file), with it (--calibration), and by orb-track with it
# (undistorted points, pose by OpenCV's solvePnP). LENS_PROFILES ("" for none) chooses the profiles.
lens="${LENS:-$data/left_intrinsics.yml}"
lens_size="${LENS_SIZE:-640x480}"
read -r -a lens_profiles <<<"${LENS_PROFILES-orbit approach tilt zoom recede}"
lens_rows=()
if [ "${#lens_profiles[@]}" -gt 0 ]; then
  [ -r "$lens" ] || fail "lens $lens is not readable (LENS)"
  for profile in "${lens_profiles[@]}"; do
    line="$profile"
    for name in uncalibrated calibrated orb; do
      base="$out/lens-$name-$profile-$lens_size"
      args=(--source "synthetic:$profile" --size "$lens_size" --frames "$frames" --seed "$seed" --lens "$lens"
        --camera-params "$camera" --csv "$base.csv" --threads "$threads")
      [ "$name" = uncalibrated ] || args+=(--calibration "$lens")
      program="${tool[orb]}"
      [ "$name" = orb ] || { program="${tool[quorl]}"; args+=(--robust); }
      echo "compare-trackers: $name on $profile through the lens" >&2
      "$program" "${args[@]}" >"$base.txt" 2>"$base.err" ||
        { cat "$base.err" >&2; fail "$name failed on $profile through the lens"; }
      read -r success mean median _ <<<"$(figures "$base.txt")"
      pose=$(sed -n 's/^pose error of tracked frames: rotation mean \([^ ]*\) deg, .*; distance mean \([^ ]*\) %.*/\1 \2/p' "$base.txt")
      [ -n "$pose" ] || pose="n/a n/a"
      line="$line $success $mean $pose $median"
    done
    lens_rows+=("$line")
  done
  echo
  echo "through a lens: synthetic profiles filmed through $(basename "$lens") at $lens_size, $frames frames each, robust mode"
  echo "uncalibrated: the camera file (frame centre, no distortion); calibrated: --calibration with the lens; orb: orb-track"
  echo "with it (undistorted points, solvePnP). rot: mean rotation error (deg) and dist: mean distance error (%) of the"
  echo "pose of the tracked frames against the scene's true pose"
  echo
  printf '%-8s | %-33s | %-33s | %-33s\n' "" "quorl-track uncalibrated" "quorl-track calibrated" "orb-track calibrated"
  printf '%-8s | %7s %6s %5s %6s %5s | %7s %6s %5s %6s %5s | %7s %6s %5s %6s %5s\n' profile \
    success error rot dist ms success error rot dist ms success error rot dist ms
  printf '%s\n' "---------+-----------------------------------+-----------------------------------+----------------------------------"
  for line in "${lens_rows[@]}"; do
    # shellcheck disable=SC2086
    set -- $line
    printf '%-8s | %6s%% %6s %5s %6s %5s | %6s%% %6s %5s %6s %5s | %6s%% %6s %5s %6s %5s\n' "$1" "$2" "$3" "$4" "$5" \
      "$6" "$7" "$8" "$9" "${10}" "${11}" "${12}" "${13}" "${14}" "${15}" "${16}"
  done
fi

# The picture scenes of PICTURE_LENS_SCENES (default "table far"; "" for none) filmed through LENS at LENS_SIZE,
# quorl-track and orb-track both with --calibration: per target, success, mean corner error and the pose's mean
# rotation and distance errors against the scene's true pose.
read -r -a picture_lens_scenes <<<"${PICTURE_LENS_SCENES-table far}"
picture_lens_rows=()
if [ "${#picture_lens_scenes[@]}" -gt 0 ]; then
  [ -r "$lens" ] || fail "lens $lens is not readable (LENS)"
  for p in "${pictures[@]}"; do [ -r "$p" ] || fail "picture $p is not readable (PICTURES)"; done
  lens_picture_args=()
  for p in "${pictures[@]}"; do lens_picture_args+=(--picture "$p"); done
  for scene in "${picture_lens_scenes[@]}"; do
    for name in quorl orb; do
      base="$out/lens-pictures-$name-$scene-$lens_size"
      echo "compare-trackers: $name on pictures:$scene through the lens" >&2
      "${tool[$name]}" --source "pictures:$scene" --size "$lens_size" --frames "$frames" --seed "$seed" --lens "$lens" \
        --calibration "$lens" --threads "$threads" --csv "$base.csv" "${lens_picture_args[@]}" >"$base.txt" \
        2>"$base.err" || { cat "$base.err" >&2; fail "$name failed on pictures:$scene through the lens"; }
    done
    for p in "${pictures[@]}"; do
      target=$(basename "${p%.*}")
      line="$scene $target"
      for name in quorl orb; do
        file="$out/lens-pictures-$name-$scene-$lens_size.txt"
        figures=$(sed -n "s/^target $target: .*wholly in view (\([0-9.]*\)%), false finds [0-9]*, mean error \([^ ;]*\) px.*/\1 \2/p" "$file")
        [ -n "$figures" ] || fail "no figures for $target in $file"
        pose=$(sed -n "s/^target $target: .*; pose error: rotation mean \([^ ]*\) deg, distance mean \([^ ]*\) %$/\1 \2/p" "$file")
        line="$line $figures ${pose:-n/a n/a}"
      done
      picture_lens_rows+=("$line")
    done
  done
  echo
  echo "picture targets through a lens: the picture scenes filmed through $(basename "$lens") at $lens_size, $frames frames"
  echo "each, both trackers with --calibration; rot and dist: the pose's mean rotation (deg) and distance (%) errors"
  echo
  printf '%-7s %-10s | %-28s | %-28s\n' "" "" "quorl-track calibrated" "orb-track calibrated"
  printf '%-7s %-10s | %7s %6s %5s %6s | %7s %6s %5s %6s\n' scene target success error rot dist success error rot dist
  printf '%s\n' "-------------------+------------------------------+-----------------------------"
  for line in "${picture_lens_rows[@]}"; do
    # shellcheck disable=SC2086
    set -- $line
    printf '%-7s %-10s | %6s%% %6s %5s %6s | %6s%% %6s %5s %6s\n' "$1" "$2" "$3" "$4" "$5" "$6" "$7" "$8" "$9" "${10}"
  done
fi

# Picture libraries: LIBRARY_SIZES (default "10 100 1000"; "" for none) known pictures made here, the first ten of
# them lookalikes (five cards sharing one photo with another number and badge, five covers sharing one layout),
# shown three at a time by the deck scene at 640x480. quorl-track reads them from a library (quorl-library build),
# orb-track takes them as --picture files. Per run: success and false finds over every picture, the median and 95th
# percentile of the frames a picture takes to be found once it comes into view, and the frame times.
read -r -a library_sizes <<<"${LIBRARY_SIZES-10 100 1000}"
orb_library_limit="${ORB_LIBRARY_LIMIT:-100}"
# A real deck of cards (Debian's kdegames-card-data-kf5, rendered with librsvg2-bin's rsvg-convert; make compare
# installs both): 52 lookalikes, each suit's cards sharing their pips and corners. CARD_DECK="" leaves it out.
card_deck="${CARD_DECK-/usr/share/carddecks/svg-standard/standard.svgz}"
if [ -n "$card_deck" ] && [ -r "$card_deck" ]; then
  command -v rsvg-convert >/dev/null || fail "rsvg-convert is missing (librsvg2-bin) for the card deck"
fi
[[ "$orb_library_limit" =~ ^[0-9]+$ ]] || fail "ORB_LIBRARY_LIMIT wants a count, not '$orb_library_limit'"
# "target NAME: ...; within 10 px W of V frames wholly in view (P%), false finds F, ..." summed over the targets of a
# summary: the success (%) and the false finds.
picture_totals() {
  sed -n 's/^target [^:]*: .*within 10 px \([0-9]*\) of \([0-9]*\) frames wholly in view.*false finds \([0-9]*\),.*/\1 \2 \3/p' \
    "$1" | awk '{ w += $1; v += $2; f += $3 } END { printf "%.1f %d", v ? 100 * w / v : 0, f }'
}
# The median and 95th percentile of a summary's frame times.
frame_times() {
  local times
  times=$(sed -n 's/^ms per frame: median \([^,]*\), 95th percentile \([0-9.]*\).*/\1 \2/p' "$1")
  [ -n "$times" ] || fail "no frame times in $1"
  echo "$times"
}
library_rows=()
if [ "${#library_sizes[@]}" -gt 0 ]; then
  library_tool="$build/tools/quorl-library"
  [ -x "$library_tool" ] || fail "$library_tool is missing; build it first: cmake --build $build --target quorl-library"
  for n in "${library_sizes[@]}"; do
    [[ "$n" =~ ^[1-9][0-9]*$ ]] || fail "LIBRARY_SIZES wants counts, not '$n'"
  done
  entries=("${library_sizes[@]}")
  [ -n "$card_deck" ] && [ -r "$card_deck" ] && entries+=(cards)
  for n in "${entries[@]}"; do
    folder="$out/library-$n"
    if [ "$n" = cards ] && [ ! -f "$folder/.complete" ]; then
      # The 52 cards of the deck, 300 pixels high, on white.
      rm -rf "$folder" && mkdir -p "$folder" || fail "cannot create $folder"
      zcat "$card_deck" >"$folder.svg" || fail "cannot read $card_deck"
      for suit in club diamond heart spade; do
        for rank in 1 2 3 4 5 6 7 8 9 10 jack queen king; do
          rsvg-convert -i "${rank}_$suit" -h 300 -b white "$folder.svg" -o "$folder/${suit}_$(printf '%02d' "$(
            case $rank in jack) echo 11 ;; queen) echo 12 ;; king) echo 13 ;; *) echo "$rank" ;; esac)").png" ||
            fail "cannot render the card ${rank}_$suit of $card_deck"
        done
      done
      touch "$folder/.complete"
    elif [ ! -f "$folder/.complete" ]; then
      rm -rf "$folder" && mkdir -p "$folder" || fail "cannot create $folder"
      /usr/bin/python3 - "$folder" "$n" <<'PY' || fail "cannot make the library's pictures"
import sys, cv2, numpy as np
folder, n = sys.argv[1], int(sys.argv[2])
def texture(rng, w, h):
    img = cv2.resize(rng.integers(0, 255, (h // 20, w // 20, 3), np.uint8), (w, h), interpolation=cv2.INTER_CUBIC)
    for _ in range(40):
        c = tuple(int(v) for v in rng.integers(0, 255, 3))
        x, y = int(rng.integers(0, w)), int(rng.integers(0, h))
        if rng.random() < 0.5:
            cv2.circle(img, (x, y), int(rng.integers(5, 30)), c, -1)
        else:
            cv2.rectangle(img, (x, y), (x + int(rng.integers(5, 40)), y + int(rng.integers(5, 40))), c, -1)
    return img
rng = np.random.default_rng(11)
photo = texture(rng, 360, 240)
for i in range(n):
    if i < 5:    # cards: one photo, another number and corner badge
        img = np.full((300, 400, 3), 235, np.uint8)
        img[40:280, 20:380] = photo
        cv2.putText(img, str(i + 2), (10, 34), cv2.FONT_HERSHEY_SIMPLEX, 1.1, (0, 0, 170), 3)
        cv2.circle(img, (375, 22), 16, [(200, 40, 40), (40, 160, 40), (40, 40, 200), (0, 180, 220), (160, 0, 160)][i], -1)
    elif i < 10:  # covers: one layout, another photo and title
        img = np.full((300, 400, 3), 30, np.uint8)
        img[0:60] = (40, 90, 200)
        img[80:290, 20:380] = texture(rng, 360, 210)
        cv2.putText(img, "VOLUME %d" % (i - 4), (20, 45), cv2.FONT_HERSHEY_SIMPLEX, 1.2, (255, 255, 255), 3)
    else:
        img = texture(rng, 400, 300)
        cv2.putText(img, "P%04d" % i, (20, 60), cv2.FONT_HERSHEY_SIMPLEX, 1.5, (255, 255, 255), 3)
    cv2.imwrite("%s/pic%04d.png" % (folder, i), img)
PY
      touch "$folder/.complete"
    fi
    # Built again when missing or of another version.
    if ! "$library_tool" list "$folder.qlib" >/dev/null 2>&1; then
      echo "compare-trackers: building the library of $n pictures" >&2
      "$library_tool" build "$folder.qlib" "$folder" >"$folder.build.txt" 2>&1 ||
        { cat "$folder.build.txt" >&2; fail "quorl-library failed on $n pictures"; }
    fi
    picture_args=()
    for p in "$folder"/*.png; do picture_args+=(--picture "$p"); done
    line="$n"
    for name in quorl orb; do
      if [ "$name" = orb ] && [ "$n" != cards ] && [ "$n" -gt "$orb_library_limit" ]; then
        line="$line - - - - - - -"  # about 8 s a frame with 1000 pictures
        continue
      fi
      base="$out/library-$name-$n"
      args=(--source "pictures:deck:$folder" --size 640x480 --frames "$frames" --seed "$seed" --camera-params "$camera"
        --threads "$threads" --csv "$base.csv")
      if [ "$name" = quorl ]; then args+=(--library "$folder.qlib"); else args+=("${picture_args[@]}"); fi
      echo "compare-trackers: $name with $n known pictures on pictures:deck" >&2
      "${tool[$name]}" "${args[@]}" >"$base.txt" 2>"$base.err" ||
        { cat "$base.err" >&2; fail "$name failed with $n known pictures"; }
      totals=$(picture_totals "$base.txt")
      times=$(frame_times "$base.txt")
      # Frames from a picture's coming into view (its truth columns filled after a frame without) to its first frame
      # tracked within 10 px in that view; views in which it is never found count as misses.
      awk -F, 'NR == 1 { for (i = 1; i <= NF; ++i) col[$i] = i; next }
        { t = $col["target"]; seen = $col["gt_x0"] != ""
          if (seen && !was[t]) { start[t] = $1; open[t] = 1 }
          if (seen && open[t] && $col["state"] == "tracking" && $col["err_px"] < 10) { print $1 - start[t]; open[t] = 0 }
          if (!seen && was[t] && open[t]) { print "missed"; open[t] = 0 }
          was[t] = seen }' "$base.csv" >"$base.waits"
      missed=$(grep -c missed "$base.waits" || true)
      finds=$(grep -v missed "$base.waits" | sort -n |
        awk -v missed="$missed" '{ w[NR] = $1 } END { if (NR) printf "%s %s", w[int((NR + 1) / 2)], w[int(0.95 * (NR - 1)) + 1]
                                                      else printf "n/a n/a"; printf " %d", missed }')
      line="$line $totals $finds $times"
    done
    library_rows+=("$line")
  done
  echo
  echo "picture libraries: N known pictures (the first ten lookalikes; cards: the 52 of $card_deck), three shown at a time"
  echo "by pictures:deck at 640x480,"
  echo "$frames frames; success and false as above over every picture; found: median and 95th percentile of the frames"
  echo "from a picture coming into view to its first frame tracked within 10 px, and the views in which it never was;"
  echo "ms: median and 95th percentile per frame"
  echo
  printf '%-5s | %-45s | %-45s\n' "" "quorl-track --library" "orb-track --picture"
  printf '%-5s | %7s %5s %5s %4s %4s %7s %7s | %7s %5s %5s %4s %4s %7s %7s\n' N success false found p95 miss ms p95 \
    success false found p95 miss ms p95
  printf '%s\n' "------+-----------------------------------------------+----------------------------------------------"
  for line in "${library_rows[@]}"; do
    # shellcheck disable=SC2086
    set -- $line
    printf '%-5s | %6s%% %5s %5s %4s %4s %7s %7s | %6s%% %5s %5s %4s %4s %7s %7s\n' "$1" "$2" "$3" "$4" "$5" "$6" \
      "$7" "$8" "$9" "${10}" "${11}" "${12}" "${13}" "${14}" "${15}"
  done

  # Twenty pictures at once: the procedural pictures 10 to 29 of the last library made, on the wall scene.
  wall="$out/library-${library_sizes[-1]}"
  if [ "${library_sizes[-1]}" -ge 30 ]; then
    wall_args=()
    for i in $(seq 10 29); do wall_args+=(--picture "$(printf '%s/pic%04d.png' "$wall" "$i")"); done
    echo
    echo "twenty pictures at once (pictures:wall, 640x480, $frames frames): success, false finds, ms median and 95th percentile"
    for name in quorl orb; do
      base="$out/wall-$name"
      echo "compare-trackers: $name with twenty pictures on pictures:wall" >&2
      "${tool[$name]}" --source pictures:wall --size 640x480 --frames "$frames" --seed "$seed" --camera-params "$camera" \
        --threads "$threads" --csv "$base.csv" "${wall_args[@]}" >"$base.txt" 2>"$base.err" ||
        { cat "$base.err" >&2; fail "$name failed with twenty pictures"; }
      # shellcheck disable=SC2046
      set -- $(picture_totals "$base.txt") $(frame_times "$base.txt")
      printf '%-10s %6s%% %5s %7s %7s\n' "${name/quorl/quorl-track}" "$1" "$2" "$3" "$4"
    done
  fi
fi

if [[ " ${profiles[*]} " == *" still "* ]]; then
  echo
  echo "jitter on still: standard deviation (px) of x0 y0 x1 y1 x2 y2 x3 y3 over the tracked frames"
  for size in "${sizes[@]}"; do
    for name in quorl robust orb; do
      printf '%-7s %-7s %s\n' "$size" "${name/quorl/default}" "$(jitter "$out/$name-still-$size.csv")"
    done
  done
fi
