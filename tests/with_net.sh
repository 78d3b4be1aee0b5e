#!/bin/sh
# with_net.sh DIR COMMAND [ARG]...: runs COMMAND in a mount namespace of its
# own whose /proc/net/dev is DIR/dev.  The command keeps the process id, the
# one whose /proc/<id>/net the fixture covers.
exec unshare -m /bin/sh -c 'mount --make-rprivate / &&
  mount --bind "$0" /proc/$$/net && exec "$@"' "$@"
