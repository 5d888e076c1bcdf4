#!/usr/bin/env bash
# Runs a command inside an arm64 root made by kit/arm64-root.sh, in the current folder. The
# command gets a mount namespace of its own, so nothing stays mounted when it ends: the root's
# /proc and /dev, and this machine's /tmp, where the rehearsal runner keeps its Wine prefixes
# and files and Xvfb its display's socket. Root only.
#
#   kit/arm64-run.sh ROOT COMMAND [ARG...]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: kit/arm64-run.sh ROOT COMMAND [ARG...]" >&2; exit 2; }
root=$(cd "$1" && pwd)
shift
# Inside a chroot / is no mount point and its propagation cannot be changed; the namespace then
# keeps the surrounding one's, which leaves nothing mounted behind only where that is private.
propagation=private
unshare --mount --propagation private true 2>/dev/null || propagation=unchanged
# shellcheck disable=SC2016
exec unshare --mount --propagation "$propagation" -- /bin/sh -c '
    root=$1 folder=$2
    shift 2
    mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
        mount --bind /tmp "$root/tmp" || exit 125
    exec chroot "$root" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$folder" "$@"' \
    sh "$root" "$PWD" "$@"
