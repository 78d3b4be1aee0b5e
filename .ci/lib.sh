# Sourced by .ci/run, .ci/harden and .ci/bullseye (on the host, and in the
# Debian 11 root for its tests): what CI's stages share.
# logged LOG COMMAND...: COMMAND's output shown and kept in LOG; its status
# returned, for the caller to judge (`logged LOG COMMAND || rc=$?`).
logged() {
  local log=$1
  shift
  "$@" 2>&1 | tee "$log"
  return "${PIPESTATUS[0]}"
}

# ctest_all BUILD_DIR [CTEST_ARGS]...: the build's tests, their output shown;
# ends the run when one fails or is skipped.  ctest counts a GoogleTest skip
# as a pass unless told; the tests fail under CI instead of skipping, and
# this catches any that slip through.
ctest_all() {
  local dir=$1 log rc
  shift
  log=$(mktemp)
  (cd "$dir" && logged "$log" ctest --output-on-failure --no-tests=error "$@") ||
    { rc=$?; echo "CI: a test failed in $dir" >&2; exit "$rc"; }
  ! grep -qE '\*\*\*(Skipped|Not Run)|\(Skipped\)|\[  SKIPPED \]' "$log" ||
    { echo "CI: a test was skipped in $dir" >&2; exit 1; }
  rm -f "$log"
}

# copy_tree DIR: the tracked files into DIR, as a fresh clone has them.
copy_tree() { mkdir -p "$1" && git ls-files -z | xargs -0 cp --parents -t "$1"; }
