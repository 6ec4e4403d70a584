#!/usr/bin/env bash
# quorl-calibrate: opencv-doc's left photos calibrate and write both files; too few views, bad options and
# failed writes give a message, a non-zero exit status and no files; the board picture states its size.
# Usage: expect_calibrate.sh QUORL_CALIBRATE PHOTO_DIR
set -uo pipefail
tool="$1"
photos="$2"
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/../lib.sh"


"$tool" --help | grep -q -- "--print-board FILE" || fail "--help names no --print-board"
"$tool" --version | grep -q "^quorl-calibrate " || fail "--version"
expect 2 "no --source given" --out "$tmp/a.yml"
expect 2 "unknown option" --source board --colour red
expect 2 "Bad board 'chessboard:9x6': use chessboard:COLSxROWS:SQUARE_M" --source board --board chessboard:9x6
expect 2 "must end\|ending in .yml or .yaml" --source board --out "$tmp/a.txt"
expect 2 "Cannot find the file" --source "$tmp/missing.mp4"
expect 2 "--size is for a camera or the board scene" --source "$tmp/left%02d.jpg" --size 320x240
expect 2 "holds no photos" --source "$tmp"

# Too few views: refused with the number still needed, nothing written.
expect 1 "Too few views: .* more needed.*Nothing written" --source board --frames 90 --out "$tmp/few.yml"
[ -e "$tmp/few.yml" ] || [ -e "$tmp/few.dat" ] && fail "a refused calibration wrote files"

[ -e "$photos/left01.jpg" ] || { echo "opencv-doc photos not installed: the rest is skipped"; exit $((failures > 0)); }
mkdir "$tmp/left" "$tmp/three"
for f in "$photos"/left[0-9]*.jpg; do ln -s "$f" "$tmp/left/"; done
for n in 01 02 03; do ln -s "$photos/left$n.jpg" "$tmp/three/"; done
expect 1 "Too few views: 3 taken, 7 more needed" --source "$tmp/three" --out "$tmp/three.yml"
[ -e "$tmp/three.yml" ] && fail "three photos wrote a calibration"

"$tool" --source "$tmp/left" --out "$tmp/cal.yml" >"$tmp/out.txt" 2>"$tmp/err.txt" || fail "left photos: $(cat "$tmp/err.txt")"
grep -q "^RMS reprojection error: 0\.[0-4]" "$tmp/out.txt" || fail "RMS: $(grep RMS "$tmp/out.txt")"
[ "$(grep -c '^view [0-9]* (left[0-9]*.jpg): ' "$tmp/out.txt")" -eq 13 ] || fail "not 13 per-view errors"
grep -q "^coverage: left-right" "$tmp/out.txt" || fail "no coverage line"
grep -q "residual against the OpenCV model: max" "$tmp/out.txt" || fail "no camera file residual"
grep -q "^camera_matrix: !!opencv-matrix" "$tmp/cal.yml" || fail "no camera_matrix in the YAML"
grep -q "^per_view_reprojection_errors:" "$tmp/cal.yml" || fail "no per-view errors in the YAML"
[ "$(stat -c %s "$tmp/cal.dat")" -eq 136 ] || fail "the camera file is not 136 bytes"
grep -q "^left01.jpg: view 1, 54 corners" "$tmp/err.txt" || fail "photos not reported"

# Failed writes: a full device, a missing folder.
ln -s /dev/full "$tmp/full.yml"
expect 1 "Cannot write '$tmp/full.yml': No space left on device" --source "$tmp/left" --out "$tmp/full.yml"
expect 1 "Cannot write '$tmp/none/cal.yml'" --source "$tmp/left" --out "$tmp/none/cal.yml"
expect 1 "Cannot write" --print-board /dev/full
if "$tool" --help >/dev/full 2>/dev/null; then fail "--help to a full device exits 0"; fi

expect 0 "printed at 100 % the squares span 250 x 175 mm (300 dpi)" --print-board "$tmp/board.png"
[ -s "$tmp/board.png" ] || fail "no board picture"
expect 0 "charuco:7x5:0.03:0.022:4X4_50 - ChArUco board" --print-board "$tmp/charuco.png" --board charuco:7x5:0.03:0.022
# As a PDF the page is the board's true size: 10 x 7 squares of 25 mm and a square's margin all round.
ln -s /dev/full "$tmp/full.pdf"
expect 1 "Cannot write '$tmp/full.pdf'" --print-board "$tmp/full.pdf"
expect 0 "squares span 250 x 175 mm" --print-board "$tmp/board.pdf"
/usr/bin/python3 - "$tmp/board.pdf" <<'PY' || fail "the board's PDF page is not 300 x 225 mm"
import re, sys
data = open(sys.argv[1], "rb").read()
box = re.search(rb"/MediaBox \[ *0 0 ([0-9.]+) ([0-9.]+) *\]", data)
assert data.startswith(b"%PDF-") and box, data[:40]
size = [float(v) * 25.4 / 72 for v in box.groups()]
assert abs(size[0] - 300) < 0.05 and abs(size[1] - 225) < 0.05, size
PY

finish "quorl-calibrate"
