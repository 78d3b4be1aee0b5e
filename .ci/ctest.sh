# Sourced by .ci/run and .ci/harden.
# ctest_all BUILD_DIR [CTEST_ARGS]...: runs the build's tests, showing their
# output, and ends the run when one fails or is skipped.  ctest counts a
# GoogleTest skip as a pass unless told; the tests fail under CI instead of
# skipping, and this catches any that slip through.
ctest_all() {
  local dir=$1 log rc
  shift
  log=$(mktemp)
  set +e
  (cd "$dir" && ctest --output-on-failure --no-tests=error "$@") 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  set -e
  if [ "$rc" -ne 0 ]; then
    echo "CI: a test failed in $dir" >&2
    exit "$rc"
  fi
  if grep -E '\*\*\*(Skipped|Not Run)|\(Skipped\)|\[  SKIPPED \]' "$log" >/dev/null; then
    echo "CI: a test was skipped in $dir" >&2
    exit 1
  fi
  rm -f "$log"
}
