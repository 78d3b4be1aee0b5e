#!/bin/bash
# Checks the Debian packages in a native and ARM output directories (as
# .ci/run builds them with dpkg-buildpackage, each ARM one named after its
# architecture: build-deb/armhf, build-deb/armel), and the static tarball
# when it is named too (build-armel/boardtools-*.tar.gz): the architecture, the files,
# that the programs are stripped code for the right machine that needs the
# C library alone, that lintian finds nothing, and that the native package
# installs, its programs run and its example systemd unit verifies.
set -euo pipefail
native_dir=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

doc=./usr/share/doc/boardtools
expected_files=(
  ./usr/bin/flowtally ./usr/bin/pegdir ./usr/sbin/wdpulse
  ./usr/share/man/man1/flowtally.1.gz ./usr/share/man/man1/pegdir.1.gz
  ./usr/share/man/man8/wdpulse.8.gz
  "$doc/copyright" "$doc/changelog.gz"
  "$doc/examples/wdpulse.service" "$doc/examples/wdpulse.init" "$doc/examples/inittab"
)

check_deb() {
  local deb=$1 arch=$2 file_re=$3 nm=$4
  echo "-- $deb"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not $arch"
  local listing outside
  listing=$(dpkg-deb -c "$deb")
  for f in "${expected_files[@]}"; do
    grep -q " $f\$" <<<"$listing" || fail "$deb lacks $f"
  done
  # The boot examples are documentation: nothing starts the keeper by itself.
  outside=$(grep -E ' \./(etc|lib|usr/lib)/' <<<"$listing") || true
  [ -z "$outside" ] || fail "$deb installs outside bin, sbin and share: $outside"
  local root
  root=$(mktemp -d)
  dpkg-deb -x "$deb" "$root"
  for p in usr/bin/flowtally usr/bin/pegdir usr/sbin/wdpulse; do
    local what linkage
    what=$(file -b "$root/$p")
    echo "   $p: $(stat -c %s "$root/$p") bytes, $what"
    grep -Eq "$file_re" <<<"$what" || fail "$p is not $arch code: $what"
    grep -q ', stripped' <<<"$what" || fail "$p is not stripped"
    linkage=$(sh "$here/check_linkage.sh" "$root/$p" "$nm" 2>&1) || fail "$p: $linkage"
  done
  rm -rf "$root"
  # Errors and warnings both count (its note about running as root is no
  # finding and goes to standard error).
  local findings status
  findings=$(lintian --fail-on error,warning "$deb" 2>/dev/null) && status=0 || status=$?
  [ "$status" -eq 0 ] && [ -z "$findings" ] || fail "lintian on $deb: status $status"$'\n'"$findings"
  echo "   lintian: no errors, no warnings"
}

native_arch=$(dpkg --print-architecture)
native_deb=$(ls "$native_dir"/boardtools_*_"$native_arch".deb)
check_deb "$native_deb" "$native_arch" 'ELF 64-bit' nm
# The static tarball: the package's files under usr/ (the manual pages
# uncompressed, the licence for Debian's copyright file), each program one
# static ARMv5TE file of at most 64 KiB that runs on ARMv5 and ARMv6 cores.
check_tarball() {
  local tgz=$1 root f p what size run cpu usage status dir
  echo "-- $tgz"
  root=$(mktemp -d)
  tar -x -z -C "$root" -f "$tgz"
  for f in "${expected_files[@]}" "$doc/LICENSE"; do
    case $f in */copyright | */changelog.gz) continue ;; esac
    f=${f%.gz}
    [ -f "$root/$f" ] || fail "$tgz lacks ${f#./}"
  done
  for p in usr/bin/flowtally usr/bin/pegdir usr/sbin/wdpulse; do
    what=$(file -b "$root/$p")
    size=$(stat -c %s "$root/$p")
    echo "   $p: $size bytes, $what"
    grep -q 'ELF 32-bit LSB executable, ARM, EABI5 .*, statically linked, stripped' <<<"$what" ||
      fail "$p is not a stripped static ARM program: $what"
    grep -q 'Tag_CPU_arch: v5TE' <<<"$(arm-linux-gnueabi-readelf -A "$root/$p")" || fail "$p is not ARMv5TE code"
    [ "$size" -le 65536 ] || fail "$p is over 64 KiB"
  done
  dir=$(mktemp -d)
  # (The second pegdir finds the first one's lock held.)
  for run in 0:arm926 1:arm1176; do
    cpu=${run#*:}
    usage=$(qemu-arm-static -cpu $cpu "$root/usr/bin/flowtally" 0 2>&1) && status=0 || status=$?
    [ "$status" -eq 1 ] && [[ $usage == Usage:\ flowtally* ]] || fail "static flowtally on $cpu: $status $usage"
    [ "$(qemu-arm-static -cpu $cpu "$root/usr/bin/pegdir" "$dir")" = "$dir/.lock.0000000${run%:*}" ] ||
      fail "static pegdir on $cpu"
  done
  rm -rf "$root" "$dir"
}

# The dynamic loader tells the float ABIs apart.
for dir in "$@"; do
  [[ $dir != *.tar.gz ]] || { check_tarball "$dir"; continue; }
  arch=$(basename "$dir")
  case $arch in
  armhf) loader='ld-linux-armhf\.so\.3' triplet=arm-linux-gnueabihf ;;
  armel) loader='ld-linux\.so\.3' triplet=arm-linux-gnueabi ;;
  *) fail "$dir is named after no ARM architecture" ;;
  esac
  check_deb "$(ls "$dir"/boardtools_*_"$arch".deb)" "$arch" \
    "ELF 32-bit LSB .*ARM, EABI5.*interpreter /lib/$loader," "$triplet-nm"
done

echo "-- installing $native_deb"
dpkg -i "$native_deb" >/dev/null
trap 'dpkg -r boardtools >/dev/null' EXIT
usage=$(/usr/bin/flowtally 0 2>&1) && status=0 || status=$?
[ "$status" -eq 1 ] && [[ $usage == Usage:\ flowtally* ]] || fail "installed flowtally: $status $usage"
dir=$(mktemp -d)
[ "$(/usr/bin/pegdir "$dir")" = "$dir/.lock.00000000" ] || fail "installed pegdir"
rm -rf "$dir"
# Checked as installed, so that the unit's program and manual page are
# there; systemd-analyze reports some mistakes without failing, so any
# output fails too.
unit=/usr/share/doc/boardtools/examples/wdpulse.service
verify=$(systemd-analyze verify "$unit" 2>&1) && status=0 || status=$?
[ "$status" -eq 0 ] && [ -z "$verify" ] || fail "systemd-analyze verify $unit: $status $verify"
echo "   systemd-analyze verify: $unit is clean"
echo "ok: packages for $native_arch and $*"
