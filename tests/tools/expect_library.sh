#!/usr/bin/env bash
# quorl-library end to end: a library built from a folder and a list (names, widths), listed with its ratings, a
# poor picture warned of, bad pictures, lists and options refused with the reason and the old library kept, and
# quorl-track --library reporting the library's pictures as --picture reports the same files.
# Usage: expect_library.sh QUORL_LIBRARY QUORL_TRACK
set -uo pipefail
tool="$1"
track="$2"
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/../lib.sh"


mkdir -p "$tmp/deck" "$tmp/more"
/usr/bin/python3 - "$tmp" <<'PY'
import sys, cv2, numpy as np
tmp = sys.argv[1]
rng = np.random.default_rng(7)
for i, (w, h) in enumerate([(300, 220), (240, 320)]):
    picture = cv2.resize(rng.integers(0, 255, (h // 12, w // 12, 3), np.uint8), (w, h), interpolation=cv2.INTER_CUBIC)
    for _ in range(30):
        c = tuple(int(v) for v in rng.integers(0, 255, 3))
        x, y = int(rng.integers(0, w)), int(rng.integers(0, h))
        cv2.circle(picture, (x, y), int(rng.integers(4, 40)), c, -1 if rng.random() < 0.5 else 2)
    cv2.putText(picture, str(i * 7919), (10, h // 2), cv2.FONT_HERSHEY_SIMPLEX, 1.2, (0, 0, 0), 2)
    cv2.imwrite(f"{tmp}/deck/card{i}.png", picture)
board = ((np.indices((400, 400)) // 50).sum(axis=0) % 2 * 210 + 20).astype(np.uint8)
cv2.imwrite(f"{tmp}/more/board.png", board)
cv2.imwrite(f"{tmp}/more/tiny.png", np.zeros((20, 300), np.uint8))
PY
echo "not a picture" > "$tmp/deck/notes.txt"
printf '# the board, named and 0.3 m wide\nmore/board.png, chessboard, 0.3\n\n' > "$tmp/list.txt"

# Built from a folder (its pictures only, in name order) and a list, with a width for the others.
out="$("$tool" build "$tmp/lib.qlib" "$tmp/deck" --list "$tmp/list.txt" --width 0.1 --jobs 2 2>"$tmp/err")"; rc=$?
[ "$rc" -eq 0 ] || fail "build exited $rc: $(cat "$tmp/err")"
grep -q "warning: chessboard: few distinct corners: this picture will track poorly" "$tmp/err" ||
  fail "no warning for the board: $(cat "$tmp/err")"
grep -q "3 of 3 pictures prepared" "$tmp/err" || fail "no progress: $(cat "$tmp/err")"
[ "$(wc -l <<<"$out")" -eq 4 ] || fail "build printed '$out'"
listed="$("$tool" list "$tmp/lib.qlib")" || fail "list failed"
expected="$(printf 'name\tsize\twidth_m\ncard0\t300x220\t0.1\ncard1\t240x320\t0.1\nchessboard\t400x400\t0.3')"
[ "$(cut -f1-3 <<<"$listed")" = "$expected" ] || fail "list printed '$listed'"
# The ratings build printed are the ones the library holds.
[ "$(sort <<<"$out")" = "$(sort <<<"$listed")" ] || fail "build's ratings '$out' differ from the list's '$listed'"

# quorl-track --library: the same picture lines as --picture gives for the same files and widths.
pictures="$("$track" --frames 1 --library "$tmp/lib.qlib" 2>/dev/null | grep '^picture')"
given="$("$track" --frames 1 --picture "$tmp/deck/card0.png" --picture-width 0.1 --picture "$tmp/deck/card1.png" \
  --picture-width 0.1 --picture "$tmp/more/board.png" 2>/dev/null | grep '^picture' | sed 's/^picture board:/picture chessboard:/')"
[ -n "$pictures" ] && [ "$pictures" = "$given" ] || fail "quorl-track --library reported '$pictures', --picture '$given'"
# A library alone follows its pictures as --picture files do: rows and summary lines of its pictures, no clicked
# target, here on the picture scene of the library's own folder.
rows="$("$track" --frames 20 --library "$tmp/lib.qlib" --source "pictures:table:$tmp/deck" --csv - 2>"$tmp/summary.txt" |
  cut -d, -f2 | sort | uniq -c | awk '{ printf "%s %s;", $2, $1 }')"
[ "$rows" = "card0 20;card1 20;chessboard 20;target 1;" ] && ! grep -q "^target target" "$tmp/summary.txt" &&
  grep -q "^target [a-z0-9]*: states tracking [1-9]" "$tmp/summary.txt" ||
  fail "quorl-track --library alone wrote rows '$rows' and $(cat "$tmp/summary.txt")"
err="$("$track" --frames 1 --library "$tmp/deck/card0.png" 2>&1 >/dev/null)"; rc=$?
[ "$rc" -eq 2 ] && grep -q "card0.png: not a Quorl picture library" <<<"$err" || fail "quorl-track took a picture as a library: $rc '$err'"

# Refusals: the old library stays as it was.
cp "$tmp/lib.qlib" "$tmp/before.qlib"
expect 2 "$tmp/more/tiny.png: 300x20 pixels" build "$tmp/lib.qlib" "$tmp/deck" "$tmp/more/tiny.png"
expect 2 "1 of 3 pictures cannot be targets; $tmp/lib.qlib is not written" build "$tmp/lib.qlib" "$tmp/deck" "$tmp/more/tiny.png"
expect 2 "$tmp/missing.png: no such file" build "$tmp/lib.qlib" "$tmp/missing.png"
cmp -s "$tmp/lib.qlib" "$tmp/before.qlib" || fail "a refused build changed the library"
printf 'a.png,name,wide\n' > "$tmp/bad-list.txt"
expect 2 "bad-list.txt:1: the width wants metres" build "$tmp/x.qlib" --list "$tmp/bad-list.txt"
mkdir "$tmp/empty"
expect 2 "no pictures to build a library of" build "$tmp/x.qlib" "$tmp/empty"
expect 2 "--jobs wants 1..64" build "$tmp/x.qlib" "$tmp/deck" --jobs 0
expect 2 "unknown command 'make'" make "$tmp/x.qlib"
expect 2 "list wants one library file" list
expect 2 "$tmp/deck/card0.png: not a Quorl picture library" list "$tmp/deck/card0.png"
head -c 1000 "$tmp/lib.qlib" > "$tmp/cut.qlib"
expect 2 "$tmp/cut.qlib: truncated" list "$tmp/cut.qlib"
expect 1 "$tmp/nowhere/x.qlib: cannot be written" build "$tmp/nowhere/x.qlib" "$tmp/deck"
"$tool" --help | grep -q -- "--corner-type T" || fail "--help lacks --corner-type"
if [ -w /dev/full ]; then
  "$tool" list "$tmp/lib.qlib" >/dev/full 2>/dev/null && fail "list to a full disk exited 0"
fi

finish "quorl-library"
