#!/usr/bin/env bash
# Makes DIR an arm64 Debian 12 root with Debian's arm64 Wine, which runs ARM64 Windows images;
# this machine runs its programs under qemu-aarch64. The root is made once in the per-user cache
# (kit/deps.sh), keyed by the recipe, the archive and mmdebstrap's version, and copied into
# DIR from there. A finished DIR is used as it is. Root only.
#
#   bash kit/arm64-root.sh DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: kit/arm64-root.sh DIR" >&2; exit 2; }
fail() { echo "arm64 root: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "making and entering the root needs root"
dir=$(mkdir -p "$1" && cd "$1" && pwd)
# shellcheck source=kit/deps.sh
. "$here/deps.sh"
cache=$(cache_folder) || exit 2
ensure_packages mmdebstrap arch-test qemu-user-static python3 ||
    fail "mmdebstrap, arch-test, qemu-user-static or python3 could not be installed"
[ "$(uname -m)" = aarch64 ] || ensure_qemu aarch64 ||
    fail "this kernel cannot run arm64 programs, not even under qemu-aarch64"
archive=$(debian_archive)
# Raise the recipe's number whenever the root's making below changes.
stamp="bookworm arm64 wine64, recipe 2, from $archive
mmdebstrap $(dpkg-query -W -f '${Version}' mmdebstrap)"
[ "$(cat "$dir.done" 2>/dev/null)" = "$stamp" ] && exit 0

make_root() {
    local entry=$1
    mmdebstrap --quiet --arch=arm64 --variant=apt --include=wine64 \
        --aptopt='APT::Install-Recommends "false"' bookworm "$entry/root" "$archive" ||
        fail "mmdebstrap could not make the root"
    (cd /tmp && bash "$here/arm64-run.sh" "$entry/root" /usr/lib/wine/wine64 --version) \
        >/dev/null || fail "the root's Wine does not start"
    (cd /tmp && bash "$here/arm64-run.sh" "$entry/root" \
        dpkg-query -W -f '${Package} ${Version} ${Architecture}\n' wine64) >"$entry/versions"
}

cache_entry arm64-root "$stamp" make_root ||
    fail "the root could not be made in the cache ($cache)"
rm -rf --one-file-system "$dir" "$dir.done"
cp -a "$cache_made/root" "$dir"
cp "$cache_made/versions" "$dir.versions"
echo "$stamp" >"$dir.done"
