#!/usr/bin/env bash
# Makes DIR an arm64 Debian 12 root with Debian's arm64 Wine, which runs ARM64 Windows images;
# this machine runs its programs under qemu-aarch64. A finished DIR is used as it is. Root only.
#
#   bash tools/arm64-root.sh DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: tools/arm64-root.sh DIR" >&2; exit 2; }
fail() { echo "arm64 root: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "making and entering the root needs root"
dir=$(mkdir -p "$1" && cd "$1" && pwd)
# Raise the recipe's number whenever the root's making below changes.
stamp="bookworm arm64 wine64, recipe 1"
# shellcheck source=tools/deps.sh
. "$here/deps.sh"
ensure_packages mmdebstrap arch-test qemu-user-static ||
    fail "mmdebstrap, arch-test or qemu-user-static could not be installed"
[ "$(uname -m)" = aarch64 ] || ensure_qemu aarch64 ||
    fail "this kernel cannot run arm64 programs, not even under qemu-aarch64"
[ "$(cat "$dir.done" 2>/dev/null)" = "$stamp" ] && exit 0

rm -rf --one-file-system "$dir" "$dir.done"
mmdebstrap --quiet --arch=arm64 --variant=apt --include=wine64 \
    --aptopt='APT::Install-Recommends "false"' bookworm "$dir" \
    "$(sed -n 's/^URIs: //p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1 |
        grep . || echo http://deb.debian.org/debian)" ||
    fail "mmdebstrap could not make the root"
cd /tmp
bash "$here/arm64-run.sh" "$dir" /usr/lib/wine/wine64 --version >/dev/null ||
    fail "the root's Wine does not start"
bash "$here/arm64-run.sh" "$dir" dpkg-query -W -f '${Package} ${Version} ${Architecture}\n' \
    wine64 >"$dir.versions"
echo "$stamp" >"$dir.done"
