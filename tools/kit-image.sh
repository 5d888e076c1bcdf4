#!/usr/bin/env bash
# Makes the rehearsal kit's container image from the kit's zip: OUT (by default
# dist/varnholt-VERSION-rehearsal-image.tar), an archive that podman load and docker load take,
# of the image varnholt-rehearsal:VERSION. Its first layer is Debian 12 for amd64 with i386
# added: Debian's Wine (32- and 64-bit), Xvfb, xdotool and Python 3, and nothing else the runner
# does not use (the kit brings its x86 start-up preload built). That layer is made once in the
# per-user cache (kit/deps.sh), twice and compared, keyed by its packages, the archive and the
# versions of mmdebstrap and the strip programs. The second layer holds the kit in /opt/varnholt-rehearsal and the runner on PATH,
# varnholt-rehearse. No Wine prefix is in it: they hold random machine identifiers. The same
# bytes from the same kit, commit and Debian packages. Root only.
#
#   tools/kit-image.sh KIT.zip [OUT.tar]
#
# VARNHOLT_IMAGE_SOURCE, if set, is the project's address for the image's source label.
set -euo pipefail
[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: tools/kit-image.sh KIT.zip [OUT.tar]" >&2; exit 2; }
fail() { echo "kit image: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "making the Debian layer needs root"
[ -f "$1" ] || fail "$1: no such kit zip"
kit=$(realpath "$1")
out=${2:+$(realpath -m -- "$2")}
cd "$(dirname "$0")/.."
version=$(head -n 1 VERSION)
out=${out:-$PWD/dist/varnholt-$version-rehearsal-image.tar}
. kit/deps.sh
cache=$(cache_folder) || exit 2
strips=(binutils-mingw-w64-x86-64 binutils-mingw-w64-i686)
ensure_packages mmdebstrap gzip unzip python3 git "${strips[@]}" ||
    fail "mmdebstrap, gzip, unzip, python3, git or MinGW-w64's binutils could not be installed"
archive=$(debian_archive)
packages=(wine wine32:i386 wine64 xvfb xdotool python3)
# Raise the recipe's number whenever the layer's making below changes.
stamp="bookworm amd64 i386 ${packages[*]}, recipe 3, from $archive
$(dpkg-query -W -f '${Package} ${Version}\n' mmdebstrap "${strips[@]}")"

# The Debian layer's files carry the packages' own times; what mmdebstrap writes itself takes
# this fixed one (Debian 12's release), so that the layer does not change with each commit.
# Manuals, translations and documentation other than the copyright files are left out; so are
# this machine's host name and resolver, which mmdebstrap copies in and a container engine
# provides at run time. /usr is merged by mmdebstrap's own hook, not by the usrmerge package,
# which would bring Perl. And Wine's Windows files lose their debug information (two thirds of
# Wine, and of every prefix's copies of it), which no setup's run reads: stripped with the
# packages' times kept, and the time in their headers set to the fixed one.
make_layer() {
    local entry=$1 n
    for n in 1 2; do
        # shellcheck disable=SC2016 # the hook's $1 is mmdebstrap's: the root being made
        SOURCE_DATE_EPOCH=1686355200 mmdebstrap --quiet --variant=apt \
            --architectures=amd64,i386 --include="$(IFS=,; echo "${packages[*]}")" \
            --aptopt='APT::Install-Recommends "false"' \
            --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/info/*' \
            --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
            --dpkgopt='path-include=/usr/share/doc/*/copyright' \
            --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr \
            --customize-hook='rm -f "$1/etc/resolv.conf" "$1/etc/hostname"' \
            --customize-hook='x86_64-w64-mingw32-strip -p --strip-all \
                "$1"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/*' \
            --customize-hook='i686-w64-mingw32-strip -p --strip-all \
                "$1"/usr/lib/i386-linux-gnu/wine/i386-windows/*' \
            bookworm "$entry/tree-$n.tar" "$archive" ||
            fail "mmdebstrap could not make the Debian layer"
    done
    cmp -s "$entry/tree-1.tar" "$entry/tree-2.tar" ||
        fail "two Debian layers made from the same packages differ"
    sha256sum <"$entry/tree-1.tar" | cut -d' ' -f1 >"$entry/tree.sha256"
    gzip -n -6 <"$entry/tree-1.tar" >"$entry/tree.tar.gz"
    rm "$entry/tree-1.tar" "$entry/tree-2.tar"
}
cache_entry kit-image-debian "$stamp" make_layer ||
    fail "the Debian layer could not be made in the cache ($cache)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
layer=$work/layer
mkdir -p "$layer/opt/varnholt-rehearsal" "$layer/usr/local/bin"
unzip -q "$kit" -d "$layer/opt/varnholt-rehearsal" || fail "$kit is not a zip"
[ -f "$layer/opt/varnholt-rehearsal/rehearse.pyz" ] || fail "$kit holds no rehearse.pyz"
# The image has no compiler with which the runner could build it.
[ -f "$layer/opt/varnholt-rehearsal/lib/i386-linux-gnu/wine32-reserve.so" ] ||
    fail "$kit holds no built x86 start-up preload (lib/i386-linux-gnu/wine32-reserve.so)"
cat >"$layer/usr/local/bin/varnholt-rehearse" <<'END'
#!/bin/sh
# The rehearsal runner of the kit in /opt/varnholt-rehearsal (its guide: rehearsal.md there).
exec python3 /opt/varnholt-rehearsal/rehearse.pyz "$@"
END
chmod 755 "$layer/usr/local/bin/varnholt-rehearse"

seconds=$(git log -1 --format=%ct HEAD)
labels=("org.opencontainers.image.title=Varnholt rehearsal kit"
    "org.opencontainers.image.version=$version"
    "org.opencontainers.image.revision=$(git rev-parse HEAD)"
    "org.opencontainers.image.created=$(date -u -d "@$seconds" +%Y-%m-%dT%H:%M:%SZ)")
if [ -n "${VARNHOLT_IMAGE_SOURCE:-}" ]; then
    labels+=("org.opencontainers.image.source=$VARNHOLT_IMAGE_SOURCE")
else
    echo "kit image: no source label (VARNHOLT_IMAGE_SOURCE is not set)" >&2
fi
mkdir -p "$(dirname "$out")"
python3 tools/oci_archive.py "$out" "varnholt-rehearsal:$version" "$seconds" \
    "$cache_made/tree.tar.gz" "$(cat "$cache_made/tree.sha256")" "$layer" "${labels[@]}" ||
    fail "the image archive could not be written"
