#!/bin/sh
# with_dev.sh [-m MOUNTS] DIR COMMAND [ARG]...: runs COMMAND in a mount
# namespace of its own whose /dev is DIR, with the machine's null device
# added: a watchdog stand-in the caller put in DIR (a FIFO at DIR/watchdog or
# DIR/misc/watchdog) is the only one the command finds, and the machine's
# /dev is never touched.  With -m the shell commands MOUNTS (DIR is "$1"
# there) make the namespace instead: tests/with_net.sh, ts::with_mounts.
# The command keeps the process id (nothing forks on the way).
mounts=': >"$1/null" && mount --bind /dev/null "$1/null" && mount --rbind "$1" /dev'
[ "$1" != -m ] || { mounts=$2; shift 2; }
exec unshare -m /bin/sh -c "mount --make-rprivate / && $mounts && shift && exec \"\$@\"" sh "$@"
