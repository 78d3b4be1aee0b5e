#!/bin/sh
# with_net.sh DIR COMMAND [ARG]...: runs COMMAND in a mount namespace of its
# own whose /proc/net/dev is DIR/dev.  The command keeps the process id, the
# one whose /proc/<id>/net the fixture covers.  (Called by its path.)
exec sh "${0%/*}/with_dev.sh" -m 'mount --bind "$1" /proc/$$/net' "$@"
