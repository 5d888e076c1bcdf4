#!/usr/bin/env bash
# Makes the release of the checked-out commit in dist/: varnholt-VERSION-windows.zip (the x86,
# x64 and ARM64 images, the shippers' README.md, SHA256SUMS) and varnholt-VERSION-rehearsal.zip
# (the folder kit/ with its runner packed, the built stand-ins and companions, the examples,
# SHA256SUMS). Both are built from scratch in a folder of their own and are the same bytes
# wherever and by whomever they are made.
# The ARM64 image's toolchain is the one set up under build/toolchain-arm64 (or in
# VARNHOLT_ARM64_TOOLCHAIN), made there first if need be.
#
#   tools/release.sh              builds the images of HEAD, then signs and packs them
#   tools/release.sh build DIR    only builds them, into DIR
#   tools/release.sh pack DIR     only signs and packs the images in DIR, which must be HEAD's
#
# Signing (Authenticode, SHA-256) of the three images, before their sums are taken:
#   VARNHOLT_SIGN_CERT            the signer's certificate chain, PEM
#   VARNHOLT_SIGN_KEY             its private key: a PEM file, or a PKCS#11 URI (pkcs11:...)
#   VARNHOLT_SIGN_PKCS11_MODULE   with a PKCS#11 URI, the token's module (.so)
#   VARNHOLT_SIGN_TIMESTAMP_URL   optional RFC 3161 time-stamping server
# Without a timestamp the signing time is the commit's, so a signed release is reproducible too.
set -euo pipefail
stage=${1:-all} images=${2:+$(realpath -m -- "$2")}
cd "$(dirname "$0")/.."
case $stage in
all) [ $# -eq 0 ] ;;
build | pack) [ $# -eq 2 ] ;;
*) false ;;
esac || { echo "usage: tools/release.sh [build DIR | pack DIR]" >&2; exit 2; }

refuse() {
    echo "release: $*; no release made." >&2
    exit 1
}

git rev-parse --verify -q HEAD >/dev/null || refuse "not a checkout of a commit"
git diff --quiet HEAD -- ||
    refuse "tracked files have uncommitted changes (commit or stash them first)"

. kit/deps.sh
ensure_packages git cmake make python3 gcc g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix zip \
    strip-nondeterminism osslsigncode openssl libengine-pkcs11-openssl
arches=(x86 x64 arm64)
VARNHOLT_ARM64_TOOLCHAIN=${VARNHOLT_ARM64_TOOLCHAIN:-$PWD/build/toolchain-arm64}
export VARNHOLT_ARM64_TOOLCHAIN

cert=${VARNHOLT_SIGN_CERT:-} key=${VARNHOLT_SIGN_KEY:-}
module=${VARNHOLT_SIGN_PKCS11_MODULE:-} timestamp=${VARNHOLT_SIGN_TIMESTAMP_URL:-}
signing=()
if [ -n "$cert$key" ]; then
    [ -n "$cert" ] || refuse "VARNHOLT_SIGN_KEY is set but VARNHOLT_SIGN_CERT is not"
    [ -n "$key" ] || refuse "VARNHOLT_SIGN_CERT is set but VARNHOLT_SIGN_KEY is not"
    [ -f "$cert" ] || refuse "the certificate file $cert does not exist"
    openssl x509 -in "$cert" -noout 2>/dev/null || refuse "$cert holds no PEM certificate"
    signing=(-certs "$cert" -key "$key" -h sha256)
    case $key in
    pkcs11:*)
        [ -n "$module" ] || refuse "a PKCS#11 key needs VARNHOLT_SIGN_PKCS11_MODULE"
        [ -f "$module" ] || refuse "the PKCS#11 module $module does not exist"
        signing+=(-pkcs11module "$module")
        ;;
    *)
        [ -f "$key" ] || refuse "the key file $key does not exist"
        openssl pkey -in "$key" -noout -passin pass: 2>/dev/null ||
            refuse "$key holds no unencrypted PEM private key"
        [ "$(openssl pkey -in "$key" -pubout)" = "$(openssl x509 -in "$cert" -noout -pubkey)" ] ||
            refuse "the key in $key does not match the certificate in $cert"
        ;;
    esac
elif [ -n "$module$timestamp" ]; then
    refuse "VARNHOLT_SIGN_PKCS11_MODULE or VARNHOLT_SIGN_TIMESTAMP_URL is set without a key"
fi

version=$(head -n 1 VERSION)
commit=$(git rev-parse HEAD)
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)
export SOURCE_DATE_EPOCH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ "$stage" != all ] || images=$work/images

# The build stage: each image with its stand-ins, from HEAD as committed, and the commit's name.
if [ "$stage" != pack ]; then
    echo "building the images of $commit"
    mkdir -p "$work/src" "$images"
    git archive HEAD | tar -x -C "$work/src"
    for arch in "${arches[@]}"; do
        (cd "$work/src" && cmake --preset "win-$arch" >/dev/null &&
            cmake --build --preset "win-$arch" -j "$(nproc)" >/dev/null) ||
            refuse "the $arch image did not build"
        mkdir -p "$images/$arch"
        cp "$work/src/build/win-$arch/varnholt.exe" \
            "$work/src/build/win-$arch/standins/"{newdev,DIFxAPI}.dll "$images/$arch/"
    done
    cp "$work/src/build/win-x86/hold-desktop.exe" "$images/x86/"
    # The runner's x86 start-up preload, which it would otherwise build with cc where it runs
    # (the kit's image has no compiler), and its empty 64-bit twin; built in the source's folder,
    # so that no path of this machine is in them.
    preload=$images/preload/lib
    mkdir -p "$preload/i386-linux-gnu" "$preload/x86_64-linux-gnu"
    (cd "$work/src/kit" && cc -O2 -fPIC -shared -nostdlib -m32 wine32-reserve.c \
        -o "$preload/i386-linux-gnu/wine32-reserve.so" &&
        cc -O2 -fPIC -shared -nostdlib -m64 -x c /dev/null \
            -o "$preload/x86_64-linux-gnu/wine32-reserve.so") ||
        refuse "the x86 start-up preload did not build"
    echo "$commit" >"$images/COMMIT"
    [ "$stage" = all ] || exit 0
fi
[ "$(cat "$images/COMMIT" 2>/dev/null)" = "$commit" ] ||
    refuse "$images holds no images of $commit (tools/release.sh build $images makes them)"

echo "release $version of $commit"
# A zip of this version left from an earlier run is not taken for this run's if it fails.
rm -f "dist/varnholt-$version-windows.zip" "dist/varnholt-$version-rehearsal.zip"

# Every file is read-write for its owner and readable by all, whatever the umask; each zip
# holds its entries in name order, with no owner fields and the commit's time.
pack() {
    local folder=$1 zip=$2
    find "$folder" -type d -exec chmod 755 {} + -o -type f -exec chmod 644 {} +
    find "$folder" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    rm -f "$zip"
    (cd "$folder" && find . -type f | LC_ALL=C sort | sed 's|^\./||' |
        TZ=UTC zip -q -X -D "$zip" -@)
    strip-nondeterminism -t zip -T "$SOURCE_DATE_EPOCH" "$zip" >/dev/null
}

windows=$work/windows
when=(-time "$SOURCE_DATE_EPOCH")
[ -z "$timestamp" ] || when=(-ts "$timestamp")
for arch in "${arches[@]}"; do
    mkdir -p "$windows/$arch"
    image=$windows/$arch/varnholt.exe
    if [ ${#signing[@]} -eq 0 ]; then
        cp "$images/$arch/varnholt.exe" "$image"
        continue
    fi
    osslsigncode sign "${signing[@]}" "${when[@]}" -in "$images/$arch/varnholt.exe" \
        -out "$image" >"$work/sign.log" 2>&1 || {
        sed 's/^/  /' "$work/sign.log" >&2
        refuse "signing the $arch image failed (above: osslsigncode's own words)"
    }
done
git show HEAD:docs/shipping.md >"$windows/README.md"
mkdir "$windows/include"
includes=(include/varnholt.nsh include/varnholt.iss include/varnholt.wxi)
for include in "${includes[@]}"; do
    git show "HEAD:examples/$include" >"$windows/$include"
done
(cd "$windows" && sha256sum "${arches[@]/%//varnholt.exe}" "${includes[@]}" >SHA256SUMS)

# The kit: its folder as committed, with the runner's package packed into one zip application;
# the stand-ins of each image, the 32-bit prefix's desktop holder and the x86 start-up preload,
# built; and the example setups with their tables and the includes they use, folder by folder.
kit=$work/rehearsal
git archive HEAD kit | tar -x -C "$work"
mv "$work/kit" "$kit"
/usr/bin/python3 tools/make_pyz.py "$kit" "$kit/rehearse.pyz" "$SOURCE_DATE_EPOCH"
rm -r "$kit/rehearse.py" "$kit/rehearsal"
for arch in "${arches[@]}"; do
    mkdir -p "$kit/$arch"
    cp "$images/$arch/"{newdev,DIFxAPI}.dll "$kit/$arch/"
done
cp "$images/x86/hold-desktop.exe" "$kit/"
cp -r "$images/preload/lib" "$kit/"
git archive HEAD examples/include examples/nsis examples/msi examples/inno | tar -x -C "$kit"
(cd "$kit" && find . -type f -printf '%P\0' | LC_ALL=C sort -z | xargs -0 sha256sum >"$work/sums")
mv "$work/sums" "$kit/SHA256SUMS"

mkdir -p dist
for name in windows rehearsal; do
    zip=$PWD/dist/varnholt-$version-$name.zip
    pack "$work/$name" "$zip"
    echo "$(sha256sum "$zip" | cut -d' ' -f1)  dist/${zip##*/} ($(stat -c %s "$zip") bytes)"
done
if [ ${#signing[@]} -eq 0 ]; then
    echo "unsigned: VARNHOLT_SIGN_CERT and VARNHOLT_SIGN_KEY are not set"
elif [ -n "$timestamp" ]; then
    echo "signed with $cert, timestamped by $timestamp"
else
    echo "signed with $cert at the commit's time"
fi
