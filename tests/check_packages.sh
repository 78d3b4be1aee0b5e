#!/bin/bash
# Checks the Debian packages of a native and an armhf build directory: the
# architecture, the files, that the programs are stripped target code, and
# that the native package installs and its programs run.
set -euo pipefail
native_dir=$1
arm_dir=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

expected_files=(
  ./usr/bin/flowtally ./usr/bin/pegdir ./usr/sbin/wdpulse
  ./usr/share/man/man1/flowtally.1 ./usr/share/man/man1/pegdir.1 ./usr/share/man/man8/wdpulse.8
)

check_deb() {
  local deb=$1 arch=$2 file_re=$3
  echo "-- $deb"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not $arch"
  local listing
  listing=$(dpkg-deb -c "$deb")
  for f in "${expected_files[@]}"; do
    grep -q " $f\$" <<<"$listing" || fail "$deb lacks $f"
  done
  local root
  root=$(mktemp -d)
  dpkg-deb -x "$deb" "$root"
  for p in usr/bin/flowtally usr/bin/pegdir usr/sbin/wdpulse; do
    local what
    what=$(file -b "$root/$p")
    echo "   $p: $(stat -c %s "$root/$p") bytes, $what"
    grep -Eq "$file_re" <<<"$what" || fail "$p is not $arch code: $what"
    grep -q ', stripped' <<<"$what" || fail "$p is not stripped"
  done
  rm -rf "$root"
}

native_arch=$(dpkg --print-architecture)
native_deb=$(ls "$native_dir"/boardtools_*_"$native_arch".deb)
arm_deb=$(ls "$arm_dir"/boardtools_*_armhf.deb)
check_deb "$native_deb" "$native_arch" 'ELF 64-bit'
check_deb "$arm_deb" armhf 'ELF 32-bit LSB .*ARM, EABI5'

echo "-- installing $native_deb"
dpkg -i "$native_deb" >/dev/null
trap 'dpkg -r boardtools >/dev/null' EXIT
set +e
usage=$(/usr/bin/flowtally 0 2>&1)
status=$?
set -e
[ "$status" -eq 1 ] && [[ $usage == Usage:\ flowtally* ]] || fail "installed flowtally: $status $usage"
dir=$(mktemp -d)
[ "$(/usr/bin/pegdir "$dir")" = "$dir/.lock.00000000" ] || fail "installed pegdir"
rm -rf "$dir"
echo "ok: packages for $native_arch and armhf"
