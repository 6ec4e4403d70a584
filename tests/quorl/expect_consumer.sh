#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds examples/ against it out of tree (CMake package) and
# track_video.cpp again by pkg-config, then tracks frames the headless tool saved with the CMake build and
# with the installed Python module.
# Usage: expect_consumer.sh BUILD_DIR SOURCE_DIR QUORL_TRACK
set -euo pipefail
build="$1"; source="$2"; tool="$3"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
cmake -S "$source/examples" -B "$tmp/examples" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/examples" >/dev/null

pc="$(find "$tmp/prefix" -name quorl.pc)"
[ -n "$pc" ] || { echo "no quorl.pc installed"; exit 1; }
export PKG_CONFIG_PATH="$(dirname "$pc")"
c++ -std=c++17 "$source/examples/track_video.cpp" -o "$tmp/track_video_pc" $(pkg-config --cflags --libs quorl)
lib="$(dirname "$(find "$tmp/prefix" -name 'libquorl.so' | head -n 1)")"
if LD_LIBRARY_PATH="$lib" "$tmp/track_video_pc" >/dev/null 2>&1; then echo "track_video ran without arguments"; exit 1; fi

# Sixty synthetic frames as pictures; the registration corners are the truth of frame 0 (CSV gt_ columns).
"$tool" --quiet --frames 60 --warmup 1 --save-frames "$tmp/frames" --csv "$tmp/run.csv"
corners="$(awk -F, 'NR == 2 { printf "%d %d %d %d %d %d %d %d", $18, $19, $20, $21, $22, $23, $24, $25 }' "$tmp/run.csv")"
# shellcheck disable=SC2086
out="$("$tmp/examples/track_video" "$tmp/frames/%06d.png" "$tmp/out.avi" $corners)"
echo "$out"
[ -s "$tmp/out.avi" ] || { echo "no output video"; exit 1; }
tracked="$(sed -n 's/^tracked \([0-9]*\) of \([0-9]*\) frames.*/\1 \2/p' <<<"$out")"
[ -n "$tracked" ] || { echo "no tracked line"; exit 1; }
read -r good total <<<"$tracked"
[ "$total" -eq 59 ] && [ $((good * 2)) -gt "$total" ] || { echo "tracked $good of $total frames"; exit 1; }

# The installed Python module, when this build makes one, finds the installed library and tracks alike.
module="$(find "$tmp/prefix" -name 'quorl.cpython*.so' | head -n 1)"
if [ -n "$module" ]; then
  py="$(PYTHONPATH="$(dirname "$module")" /usr/bin/python3 "$source/examples/track_video.py" \
        "$tmp/frames/%06d.png" "$tmp/out_py.avi" $corners)"
  echo "$py"
  [ "$(grep '^tracked' <<<"$py" | cut -d, -f1)" = "$(grep '^tracked' <<<"$out" | cut -d, -f1)" ] ||
    { echo "the Python example tracked differently"; exit 1; }
fi
