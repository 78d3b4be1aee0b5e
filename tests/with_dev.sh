#!/bin/sh
# with_dev.sh DIR COMMAND [ARG]...: runs COMMAND in a mount namespace of its
# own whose /dev is DIR, with the machine's null device added.  A watchdog
# stand-in the caller put in DIR (a FIFO at DIR/watchdog or DIR/misc/watchdog)
# is then the only watchdog the command can find, and the machine's /dev is
# never touched.  The command keeps the process id (nothing forks on the way).
exec unshare -m /bin/sh -c ': >"$0/null" && mount --make-rprivate / &&
  mount --bind /dev/null "$0/null" && mount --rbind "$0" /dev && exec "$@"' "$@"
