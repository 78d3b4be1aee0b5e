#!/bin/sh
# The keeper under valgrind's memcheck, which (unlike ASan) follows the
# program break: a probe that touched memory beyond what it had taken, or
# left the break moved, would be reported.  A /dev of its own holds a FIFO as
# the watchdog, so no real device is ever opened.  The daemonising fork is
# made to fail, so the started process itself runs the passes and ends with
# the shim's status 99 after the third.
# Usage: memcheck.sh <wdpulse> <shim> <tests/with_dev.sh>
wdpulse=$1 shim=$2 with_dev=$3
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null || ! command -v valgrind >/dev/null; then
  echo "needs root, unshare and valgrind"
  [ "$CI" = true ] && exit 1
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/dev" && mkfifo "$dir/dev/watchdog" || exit 2
sh "$with_dev" "$dir/dev" env LD_PRELOAD="$shim" SHIM_FAIL_FORK_AT=1 SHIM_STOP_AFTER_SLEEPS=3 \
  valgrind --quiet --error-exitcode=3 --log-file="$dir/log" "$wdpulse" / /tmp
status=$?
cat "$dir/log"
if [ "$status" != 99 ]; then
  echo "FAIL: status $status, want 99 after three clean passes"
  exit 1
fi
if [ -s "$dir/log" ]; then
  echo "FAIL: memcheck reported the above"
  exit 1
fi
echo "ok: three passes, memcheck silent"
