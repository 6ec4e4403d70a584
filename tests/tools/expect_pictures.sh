#!/usr/bin/env bash
# quorl-track with target pictures: bad picture files refused with the file and the reason, a poor picture
# warned of, and the CSV's per-target rows (a target column after frame, one row per frame and target, the
# frame's time on each of its rows) with the summary's per-target lines.
# Usage: expect_pictures.sh QUORL_TRACK CALIBRATION
set -uo pipefail
tool="$1"
calibration="$2"
fixed=(--quiet --frames 2 --camera-params "$calibration")
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/../lib.sh"

/usr/bin/python3 - "$tmp" <<'PY'
import sys, cv2, numpy as np
tmp = sys.argv[1]
rng = np.random.default_rng(1)
cv2.imwrite(f"{tmp}/tiny.png", rng.integers(0, 255, (20, 300), np.uint8))
cv2.imwrite(f"{tmp}/huge.png", np.zeros((40, 20000), np.uint8))
board = ((np.indices((400, 400)) // 50).sum(axis=0) % 2 * 210 + 20).astype(np.uint8)
cv2.imwrite(f"{tmp}/board.png", board)
texture = cv2.GaussianBlur(rng.integers(0, 255, (300, 400), np.uint8), (0, 0), 2)
cv2.imwrite(f"{tmp}/texture.png", cv2.normalize(texture, None, 0, 255, cv2.NORM_MINMAX))
cv2.imwrite(f"{tmp}/other.png", cv2.normalize(cv2.GaussianBlur(rng.integers(0, 255, (300, 300), np.uint8), (0, 0), 3), None, 0, 255, cv2.NORM_MINMAX))
PY
echo "not a picture" > "$tmp/notes.png"
expect 2 "$tmp/missing.png: no such file" --picture "$tmp/missing.png"
expect 2 "$tmp/notes.png: not a picture that can be read" --picture "$tmp/notes.png"
expect 2 "$tmp/tiny.png: 300x20 pixels; a target picture needs at least 32 on each side" --picture "$tmp/tiny.png"
expect 2 "$tmp/huge.png: 20000x40 pixels; a target picture may have at most 16384" --picture "$tmp/huge.png"
expect 2 "follows the --picture" --picture-width 0.2
expect 2 "width in metres" --picture "$tmp/texture.png" --picture-width -1
expect 0 "warning: board: few distinct corners: this picture will track poorly" --picture "$tmp/board.png"

frames=12
"$tool" --source pictures:swap --frames "$frames" --camera-params "$calibration" --picture "$tmp/texture.png" \
  --picture-width 0.2 --picture "$tmp/other.png" --csv "$tmp/run.csv" >"$tmp/summary.txt" 2>&1 || fail "picture run failed"
head -n 1 "$tmp/run.csv" | grep -q '^frame,target,modelActive,quad_x0' || fail "no target column: $(head -n 1 "$tmp/run.csv")"
rows=$(($(wc -l <"$tmp/run.csv") - 1))
[ "$rows" -eq $((2 * frames)) ] || fail "$rows rows for $frames frames of 2 targets"
# Both targets in every frame, in the order given, with the frame's time repeated.
awk -F, 'NR > 1 { name[NR] = $2; frame[NR] = $1; ms[NR] = $16 }
         END { for (r = 2; r < NR; r += 2)
                 if (name[r] != "texture" || name[r + 1] != "other" || frame[r] != frame[r + 1] || ms[r] != ms[r + 1])
                   { print "row", r; exit 1 } }' "$tmp/run.csv" || fail "rows not per frame and target"
for name in texture other; do
  grep -q "^target $name: states tracking" "$tmp/summary.txt" || fail "no summary line for $name"
done
grep -q "^ms per frame: median" "$tmp/summary.txt" || fail "no frame times in the summary"

finish "picture targets"
