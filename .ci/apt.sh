# Sourced by .ci/run, .ci/bullseye and tests/target/run (and tested against
# stand-ins by tests/check_apt.sh): apt is set up once a run, from this
# machine's own sources, and an archive on a bad day says so plainly.
#   apt_prepare [ARCH]...  adds the foreign architectures, then one update
#   apt_install PKG...     installs, or stops naming what could not be had
#   debian_mirror          the archive that serves this machine's main suite

# A dropped connection is tried again, and another apt at work waited for,
# rather than failing the run.
apt_get() { apt-get -o Acquire::Retries=3 -o DPkg::Lock::Timeout=600 "$@"; }

apt_prepare() {
  local arch log
  for arch; do
    [ "$arch" = "$(dpkg --print-architecture)" ] && continue
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  done
  log=$(mktemp)
  # An index out of step (a mirror mid-sync) makes update exit 100 although
  # every other index is fresh; what is missing shows when an install fails.
  if ! apt_get update -qq >"$log" 2>&1; then
    echo "apt: warning: apt-get update reported failed indexes; the installs that follow decide:" >&2
    grep -E '^(E|W|Err):' "$log" | sed 's/^/apt:   /' >&2 || true
  fi
  rm -f "$log"
}

apt_install() {
  local log missing
  log=$(mktemp)
  if DEBIAN_FRONTEND=noninteractive apt_get install -y -qq --no-install-recommends "$@" \
    >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  tail -n 20 "$log" >&2
  missing=$(sed -n -e "s/^E: Unable to locate package \([^ ]*\).*/\1/p" \
    -e "s/^E: Package '\([^']*\)' has no installation candidate.*/\1/p" \
    -e 's/^ *\([^ ]*\) : Depends: .* but it is not \(installable\|going to be installed\).*/\1/p' \
    "$log" | sort -u | paste -sd ' ')
  rm -f "$log"
  echo "apt: cannot install ${missing:-$*}: the Debian archive may be out of step" \
    "(a mirror mid-sync); try again later, or point apt at a mirror or cache that is in step" >&2
  exit 1
}

debian_mirror() {
  # As apt reads the sources (either format), without needing fresh lists;
  # the main suite is the one whose name has no -security or -updates.
  apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' \
    'Identifier: Packages' | awk '$2 !~ /-/ { print $1; exit }'
}
