# Shared by the shell tests (sourced): a temporary folder `tmp` removed at exit, `fail`, `expect` and `finish`.
# Before sourcing, set `tool` (the program `expect` runs) and optionally the array `fixed` (the options `expect` puts
# before its own).
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
failures=0
fixed=("${fixed[@]+"${fixed[@]}"}")

# fail TEXT: counts a failed check and says what failed.
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# expect CODE PATTERN ARGS...: `tool` run with `fixed` and ARGS exits with CODE, its error output matching PATTERN.
expect() {
  local code="$1" pattern="$2"; shift 2
  local err rc
  err="$("$tool" "${fixed[@]+"${fixed[@]}"}" "$@" 2>&1 >/dev/null)"; rc=$?
  if [ "$rc" -ne "$code" ] || ! grep -q -- "$pattern" <<<"$err"; then
    fail "$(basename "$tool") $* -> exit $rc, '$err' (wanted $code, /$pattern/)"
  fi
}

# finish WHAT: the closing line naming WHAT, and the exit status (1 when a check failed).
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$1: $failures failure(s)"
    exit 1
  fi
  echo "$1: all checks passed"
  exit 0
}
