#!/bin/sh
# A program must need the C library alone, and must not reach into the C++
# runtime (operator new, exception or RTTI support) through a static link.
prog=$1
nm=${2:-nm}
needed=$(readelf -d "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED: $needed"
for lib in $needed; do
  case $lib in
    libc.so.*) ;;
    *) echo "FAIL: $prog needs $lib"; exit 1 ;;
  esac
done
syms=$("$nm" -C "$prog" && "$nm" -D -C "$prog") || { echo "FAIL: $nm cannot read $prog"; exit 1; }
cxx=$(printf '%s\n' "$syms" | \
      grep -E 'operator new|operator delete|__cxa_|__gxx_personality|typeinfo' | grep -v '@GLIBC' || true)
if [ -n "$cxx" ]; then
  echo "FAIL: $prog uses the C++ runtime:"; echo "$cxx"; exit 1
fi
echo "ok: $prog links against libc alone"
