# Sourced by .ci/run, .ci/harden and .ci/bullseye (on the host, and in the
# Debian 11 root for its test command): what CI's stages share.
#   logged LOG COMMAND...    runs COMMAND, its output shown and kept in LOG,
#                            and returns its status; call it as
#                            `logged LOG COMMAND || rc=$?`, so that set -e
#                            leaves the verdict to the caller
#   ctest_all BUILD_DIR [CTEST_ARGS]...  the build's tests, their output
#                            shown; ends the run when one fails or is skipped
#   copy_tree DIR            the tracked files, as a fresh clone has them
logged() {
  local log=$1
  shift
  "$@" 2>&1 | tee "$log"
  return "${PIPESTATUS[0]}"
}

# ctest counts a GoogleTest skip as a pass unless told; the tests fail under
# CI instead of skipping, and this catches any that slip through.
ctest_all() {
  local dir=$1 log rc
  shift
  log=$(mktemp)
  (cd "$dir" && logged "$log" ctest --output-on-failure --no-tests=error "$@") ||
    { rc=$?; echo "CI: a test failed in $dir" >&2; exit "$rc"; }
  if grep -E '\*\*\*(Skipped|Not Run)|\(Skipped\)|\[  SKIPPED \]' "$log" >/dev/null; then
    echo "CI: a test was skipped in $dir" >&2
    exit 1
  fi
  rm -f "$log"
}

copy_tree() { mkdir -p "$1" && git ls-files -z | xargs -0 cp --parents -t "$1"; }
