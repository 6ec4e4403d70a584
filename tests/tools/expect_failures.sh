#!/usr/bin/env bash
# quorl-track refuses bad input with a clear message and a non-zero exit.
# Usage: expect_failures.sh QUORL_TRACK
set -uo pipefail
tool="$1"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
failures=0

# expect CODE PATTERN ARGS...: the run exits with CODE and its error output matches PATTERN.
expect() {
  local code="$1" pattern="$2"; shift 2
  local err rc
  err="$("$tool" --quiet "$@" 2>&1 >/dev/null)"; rc=$?
  if [ "$rc" -ne "$code" ] || ! grep -q -- "$pattern" <<<"$err"; then
    echo "FAIL: quorl-track $* -> exit $rc, '$err' (wanted $code, /$pattern/)"
    failures=$((failures + 1))
  fi
}

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
expect 1 "Cannot read the target image" --target-image "$tmp/bad.avi"

echo "$((13 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
