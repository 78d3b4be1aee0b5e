#!/bin/sh
# A program must need the C library alone, and must not reach into the C++
# runtime (operator new, exception or RTTI support) through a static link.
# Any further arguments name C library functions it must not call at all.
prog=$1
nm=${2:-nm}
[ $# -ge 2 ] && shift 2 || shift $#
needed=$(readelf -d "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED: $needed"
for lib in $needed; do
  case $lib in libc.so.*) ;; *) echo "FAIL: $prog needs $lib"; exit 1 ;; esac
done
syms=$("$nm" -C "$prog" && "$nm" -D -C "$prog") || { echo "FAIL: $nm cannot read $prog"; exit 1; }
cxx=$(printf '%s\n' "$syms" | \
      grep -E 'operator new|operator delete|__cxa_|__gxx_personality|typeinfo' | grep -v '@GLIBC' || true)
[ -z "$cxx" ] || { echo "FAIL: $prog uses the C++ runtime:"; echo "$cxx"; exit 1; }
imports=$("$nm" -D -u "$prog" | sed -n 's/^ *U \([^@]*\).*/\1/p')
[ -n "$imports" ] || { echo "FAIL: no imports read from $prog"; exit 1; }
for f in "$@"; do
  printf '%s\n' "$imports" | grep -qx "$f" && { echo "FAIL: $prog calls $f"; exit 1; }
done
# On a 32-bit target the plain stat family and clocks have 32-bit times (and
# fail for a file stamped past January 2038); the 64-bit-time build calls
# their twins, whose names end in 64 or _time64 (__stat64_time64).
if readelf -h "$prog" | grep -q 'Class: *ELF32'; then
  time32='^(__)?[fl]?x?stat(at)?(64)?$|^__fxstatat(64)?$|^(gettimeofday|clock_gettime|time)$'
  old=$(printf '%s\n' "$imports" | grep -E "$time32" || true)
  [ -z "$old" ] || { echo "FAIL: $prog calls 32-bit-time functions:" $old; exit 1; }
fi
echo "ok: $prog links against libc alone${1:+, and calls none of: $*}"
