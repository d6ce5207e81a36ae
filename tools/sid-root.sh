#!/usr/bin/env bash
# The Debian unstable root of this machine's architecture, with python3.14 and
# python3.15: tools/debian-root.sh sid, which says more.
#
#   tools/sid-root.sh                  make the root (or check it) and print its path
#   tools/sid-root.sh COMMAND [ARG...] run COMMAND inside it, from the repository root
exec "$(dirname "$0")/debian-root.sh" sid "$@"
