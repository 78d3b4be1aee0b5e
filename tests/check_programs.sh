#!/bin/sh
# check_programs.sh BINDIR [RUNNER]...: flowtally and pegdir from BINDIR work
# here (under RUNNER, such as qemu-arm-static -cpu arm926): flowtally -l 1
# prints its header, lo first, and a line a second; pegdir takes the first
# lock of an empty directory with the owner it is given.  Plain sh: a board's
# busybox runs it too.
bin=$1
shift
dir=/tmp/check_programs.$$
mkdir "$dir" || exit 1
timeout 3 "$@" "$bin/flowtally" -l 1 >"$dir/out"
lock=$("$@" "$bin/pegdir" "$dir" "/proc/$$")
grep -q '^#   time   lo(ikb ipk okb opk)' "$dir/out" && [ "$(grep -c '^[0-9]' "$dir/out")" -ge 2 ] &&
  [ "$lock" = "$dir/.lock.00000000" ] && [ "$(readlink "$lock")" = "/proc/$$" ] && status=0 ||
  { status=1; echo "FAIL flowtally -l 1 or pegdir in $dir: '$lock', $(cat "$dir/out")"; }
rm -rf "$dir"
exit "$status"
