#!/bin/bash
# CI's apt setup (.ci/apt.sh) against stand-ins for apt-get and dpkg early on
# PATH: an archive index out of step only warns, the architectures are all
# added before the one update, and a package that cannot be had stops the
# run with its name.  Nothing here touches the machine's apt.
set -u
repo=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/bin"
cat >"$dir/bin/apt-get" <<'STANDIN'
#!/bin/sh
echo "apt-get $*" >>"$STANDIN_LOG"
case " $* " in
*" update "*)
	echo "E: Failed to fetch binary-armhf/Packages.xz  File has unexpected size (1 != 2)"
	exit "$UPDATE_STATUS" ;;
*" install "*)
	[ -z "$LOST" ] || { echo "E: Unable to locate package $LOST"; exit 100; } ;;
esac
STANDIN
cat >"$dir/bin/dpkg" <<'STANDIN'
#!/bin/sh
echo "dpkg $*" >>"$STANDIN_LOG"
[ "$1" != --print-architecture ] || echo amd64
STANDIN
chmod 755 "$dir/bin/apt-get" "$dir/bin/dpkg"

failures=0
fail() { echo "FAIL: update $update, lost '$lost': $*"; failures=$((failures + 1)); }
# update's status | package the archive lacks | the setup's status | what it must say | must not
while read -r update lost status says not; do
	log=$dir/log
	: >"$log"
	out=$(PATH="$dir/bin:$PATH" STANDIN_LOG=$log UPDATE_STATUS=$update LOST=${lost#-} bash -c \
		'. "$1"; apt_prepare armhf armel; apt_install g++ libc6:armhf; echo "setup done"' \
		_ "$repo/.ci/apt.sh" 2>&1)
	rc=$?
	says=${says//_/ } not=${not//_/ }
	[ "$rc" = "$status" ] || fail "status $rc, not $status"
	grep -qF -- "$says" <<<"$out" || fail "no '$says' in: $out"
	! grep -qF -- "$not" <<<"$out" || fail "'$not' in: $out"
	[ "$rc" != 0 ] || [ "$(tail -n 1 <<<"$out")" = "setup done" ] || fail "the setup did not complete: $out"
	order=$(sed -n 's/^dpkg --add-architecture \(.*\)/\1/p; s/^apt-get.* update.*/update/p' "$log" | tr '\n' ' ')
	[ "$order" = "armhf armel update " ] || fail "architectures and updates in the order '$order'"
done <<'ROWS'
0   -           0 setup_done                                                             warning
100 -           0 apt:_warning:_apt-get_update_reported_failed_indexes                   cannot_install
100 libc6:armhf 1 apt:_cannot_install_libc6:armhf:_the_Debian_archive_may_be_out_of_step setup_done
ROWS
[ "$failures" -eq 0 ] && echo "ok: the apt setup warns on a failed index and names what it cannot install"
exit "$failures"
