#!/bin/sh
# A manual page must render without a single warning from either formatter.
page=$1
status=0
checked=0
if command -v groff >/dev/null 2>&1; then
  out=$(groff -man -ww -z "$page" 2>&1)
  [ -n "$out" ] && { echo "groff: $out"; status=1; }
  checked=$((checked + 1))
fi
if command -v mandoc >/dev/null 2>&1; then
  out=$(mandoc -T lint -W warning "$page" 2>&1)
  [ -n "$out" ] && { echo "mandoc: $out"; status=1; }
  checked=$((checked + 1))
fi
if [ "$checked" -lt 2 ] && [ "${CI:-}" = true ]; then
  echo "CI needs both groff and mandoc"; exit 1
fi
[ "$checked" -eq 0 ] && { echo "no formatter found"; exit 1; }
[ "$status" -eq 0 ] && echo "ok: $page ($checked formatters)"
exit $status
