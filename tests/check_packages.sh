#!/bin/bash
# Checks the Debian packages in a native and ARM output directories (as
# .ci/run builds them with dpkg-buildpackage, each ARM one named after its
# architecture: build-deb/armhf, build-deb/armel), and the static tarball
# when it is named too (build-armel/boardtools-*.tar.gz): the architecture, the files,
# that the programs are stripped code for the right machine that needs the
# C library alone, that lintian finds nothing, and that the native package
# installs, its programs work (tests/check_programs.sh, as on the target)
# and its example systemd unit verifies.
set -euo pipefail
native_dir=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
die() { echo "FAIL: $*" >&2; exit 1; }

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
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || die "$deb is not $arch"
  local listing outside
  listing=$(dpkg-deb -c "$deb")
  for f in "${expected_files[@]}"; do
    grep -q " $f\$" <<<"$listing" || die "$deb lacks $f"
  done
  # The boot examples are documentation: nothing starts the keeper by itself.
  outside=$(grep -E ' \./(etc|lib|usr/lib)/' <<<"$listing") || true
  [ -z "$outside" ] || die "$deb installs outside bin, sbin and share: $outside"
  local root
  root=$(mktemp -d)
  dpkg-deb -x "$deb" "$root"
  for p in usr/bin/flowtally usr/bin/pegdir usr/sbin/wdpulse; do
    local what linkage
    what=$(file -b "$root/$p")
    echo "   $p: $(stat -c %s "$root/$p") bytes, $what"
    grep -Eq "$file_re" <<<"$what" || die "$p is not $arch code: $what"
    grep -q ', stripped' <<<"$what" || die "$p is not stripped"
    linkage=$(sh "$here/check_linkage.sh" "$root/$p" "$nm" 2>&1) || die "$p: $linkage"
  done
  rm -rf "$root"
  # Errors and warnings both count (its note about running as root is no
  # finding and goes to standard error).
  local findings status
  findings=$(lintian --fail-on error,warning "$deb" 2>/dev/null) && status=0 || status=$?
  [ "$status" -eq 0 ] && [ -z "$findings" ] || die "lintian on $deb: status $status"$'\n'"$findings"
  echo "   lintian: no errors, no warnings"
}

native_arch=$(dpkg --print-architecture)
native_deb=$(ls "$native_dir"/boardtools_*_"$native_arch".deb)
check_deb "$native_deb" "$native_arch" 'ELF 64-bit' nm
# The static tarball: the package's files under usr/ (the manual pages
# uncompressed, the licence for Debian's copyright file), each program one
# static ARMv5TE file of at most 64 KiB that runs on ARMv5 and ARMv6 cores.
check_tarball() {
  local tgz=$1 root f p what size cpu
  echo "-- $tgz"
  root=$(mktemp -d)
  tar -x -z -C "$root" -f "$tgz"
  for f in "${expected_files[@]}" "$doc/LICENSE"; do
    case $f in */copyright | */changelog.gz) continue ;; esac
    f=${f%.gz}
    [ -f "$root/$f" ] || die "$tgz lacks ${f#./}"
  done
  for p in usr/bin/flowtally usr/bin/pegdir usr/sbin/wdpulse; do
    what=$(file -b "$root/$p")
    size=$(stat -c %s "$root/$p")
    echo "   $p: $size bytes, $what"
    grep -q 'ELF 32-bit LSB executable, ARM, EABI5 .*, statically linked, stripped' <<<"$what" ||
      die "$p is not a stripped static ARM program: $what"
    grep -q 'Tag_CPU_arch: v5TE' <<<"$(arm-linux-gnueabi-readelf -A "$root/$p")" || die "$p is not ARMv5TE code"
    [ "$size" -le 65536 ] || die "$p is over 64 KiB"
  done
  for cpu in arm926 arm1176; do
    sh "$here/check_programs.sh" "$root/usr/bin" qemu-arm-static -cpu $cpu || die "static programs on $cpu"
  done
  rm -rf "$root"
}

# The dynamic loader tells the float ABIs apart.
for dir in "$@"; do
  [[ $dir != *.tar.gz ]] || { check_tarball "$dir"; continue; }
  arch=$(basename "$dir")
  case $arch in
  armhf) loader='ld-linux-armhf\.so\.3' triplet=arm-linux-gnueabihf ;;
  armel) loader='ld-linux\.so\.3' triplet=arm-linux-gnueabi ;;
  *) die "$dir is named after no ARM architecture" ;;
  esac
  check_deb "$(ls "$dir"/boardtools_*_"$arch".deb)" "$arch" \
    "ELF 32-bit LSB .*ARM, EABI5.*interpreter /lib/$loader," "$triplet-nm"
done

echo "-- installing $native_deb"
dpkg -i "$native_deb" >/dev/null
trap 'dpkg -r boardtools >/dev/null' EXIT
sh "$here/check_programs.sh" /usr/bin || die "installed programs"
# Checked as installed, so that the unit's program and manual page are
# there; systemd-analyze reports some mistakes without failing, so any
# output fails too.
unit=/usr/share/doc/boardtools/examples/wdpulse.service
verify=$(systemd-analyze verify "$unit" 2>&1) && status=0 || status=$?
[ "$status" -eq 0 ] && [ -z "$verify" ] || die "systemd-analyze verify $unit: $status $verify"
echo "   systemd-analyze verify: $unit is clean"
echo "ok: packages for $native_arch and $*"
