#!/usr/bin/env bash
# Runs fuzz targets for a fixed time each, JOBS at a time, and prints one summary line per target.
# Usage: fuzz/run.sh BUILD_DIR SECONDS JOBS NAME...
# The growing corpus goes to BUILD_DIR/fuzz-corpus/NAME (seeded from fuzz/corpus/NAME), logs to
# BUILD_DIR/fuzz-logs/NAME.log, crash inputs to BUILD_DIR/fuzz-crashes/NAME/. Fails when any target crashed.
set -uo pipefail
build="$1"; seconds="$2"; jobs="$3"; shift 3
src="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$build/fuzz-logs"

run_one() {
  local name="$1" extra=()
  mkdir -p "$build/fuzz-corpus/$name" "$build/fuzz-crashes/$name"
  [ -f "$src/$name.dict" ] && extra+=("-dict=$src/$name.dict")
  # Packed bitmaps need room for a frame large enough to hold corners inside the 10-pixel border.
  [ "$name" = packed_dib ] && extra+=("-max_len=16384") || extra+=("-max_len=4096")
  "$build/fuzz/fuzz_$name" "$build/fuzz-corpus/$name" "$src/corpus/$name" "${extra[@]}" \
    -max_total_time="$seconds" -timeout=30 -print_final_stats=1 -artifact_prefix="$build/fuzz-crashes/$name/" \
    >"$build/fuzz-logs/$name.log" 2>&1
}
export -f run_one
export build seconds src

printf '%s\n' "$@" | xargs -P "$jobs" -I{} bash -c 'run_one {}'

status=0
for name in "$@"; do
  log="$build/fuzz-logs/$name.log"
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  last="$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[^ ]+')"
  crashes="$(find "$build/fuzz-crashes/$name" -type f | wc -l)"
  printf '%-20s %10s runs  %-40s crashes: %s\n' "$name" "${runs:-?}" "${last:-?}" "$crashes"
  [ "$crashes" -eq 0 ] || status=1
done
exit $status
