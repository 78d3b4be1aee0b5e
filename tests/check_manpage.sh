#!/bin/sh
# A manual page must render without a single warning from either formatter.
page=$1
status=0
checked=0
# lint FORMATTER [OPTION]...: runs it on the page when it is installed.
lint() {
  command -v "$1" >/dev/null 2>&1 || return 0
  out=$("$@" "$page" 2>&1)
  [ -n "$out" ] && { echo "$1: $out"; status=1; }
  checked=$((checked + 1))
}
lint groff -man -ww -z
lint mandoc -T lint -W warning
if [ "$checked" -lt 2 ] && [ "${CI:-}" = true ]; then
  echo "CI needs both groff and mandoc"; exit 1
fi
[ "$checked" -eq 0 ] && { echo "skipped: neither groff nor mandoc is installed"; exit 77; }
[ "$status" -eq 0 ] && echo "ok: $page ($checked formatters)"
exit $status
