#!/usr/bin/env bash
# Sets up the ARM64 Windows toolchain in DIR from Debian's packages alone: Debian's clang, lld
# and LLVM tools target aarch64-w64-mingw32 with Debian's MinGW-w64 headers, and the C runtime,
# which Debian ships for no ARM64 target, is built from Debian's own MinGW-w64 source package,
# at the one version named below. The runtime is kept in the per-user cache (kit/deps.sh),
# keyed by that version, the recipe and the Debian versions of the tools that build it, and
# copied into DIR from there. A finished DIR is used as it is.
#
#   tools/arm64-toolchain.sh DIR
#
# VARNHOLT_ARM64_RUNTIME_BUILD=second keys a runtime built from the source a second time, apart
# from the first, for the reproducibility test.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: tools/arm64-toolchain.sh DIR" >&2; exit 2; }
dir=$(mkdir -p "$1" && cd "$1" && pwd)
source_version=10.0.0-3
triple=aarch64-w64-mingw32
tools=(clang-14 lld-14 llvm-14 mingw-w64-common)
build=${VARNHOLT_ARM64_RUNTIME_BUILD:-first}
[[ $build =~ ^(first|second)$ ]] ||
    { echo "VARNHOLT_ARM64_RUNTIME_BUILD is first or second, not $build" >&2; exit 2; }
# Raise the recipe's number whenever the runtime's build below changes.
stamp() {
    echo "mingw-w64 $source_version, recipe 3, $build build"
    dpkg-query -W -f '${Package} ${Version}\n' "${tools[@]}" 2>/dev/null || true
}

# The tools' target-named links are checked on every run. llvm-dlltool and llvm-windres make
# AMD64 objects unless their name says the target; llvm-windres preprocesses with the clang named
# for the target. A folder already set up is only read, so that others may use it.
mkdir -p "$dir/bin"
for link in dlltool:llvm-dlltool-14 windres:llvm-windres-14 clang:clang-14; do
    [ "$(readlink "$dir/bin/$triple-${link%%:*}")" = "/usr/bin/${link#*:}" ] ||
        ln -sfn "/usr/bin/${link#*:}" "$dir/bin/$triple-${link%%:*}"
done
[ "$(cat "$dir/done" 2>/dev/null)" = "$(stamp)" ] && exit 0

fail() { echo "ARM64 toolchain: $*" >&2; exit 1; }
# shellcheck source=kit/deps.sh
. "$here/../kit/deps.sh"
cache=$(cache_folder) || exit 2
ensure_packages "${tools[@]}" dpkg-dev make python3 ||
    fail "Debian's clang-14, lld-14, llvm-14, MinGW-w64 headers or python3 could not be installed"

# Builds the runtime's objects and libraries in DIR, where its logs stay, and moves what the
# toolchain needs into the entry folder given.
make_runtime() {
    local entry=$1
    # apt-get source needs a deb-src line; one is added beside the deb lines, for the same
    # archive.
    local sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    if ! grep -rqs '^\(Types:.*deb-src\|deb-src \)' /etc/apt/sources.list /etc/apt/sources.list.d
    then
        [ -f /etc/apt/sources.list.d/debian.sources ] ||
            fail "no deb-src line, and no /etc/apt/sources.list.d/debian.sources to make one from"
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            $sudo tee /etc/apt/sources.list.d/varnholt-deb-src.sources >/dev/null
        # An index of another architecture or suite that fails to arrive fails the update too;
        # whether the one source package needed can be had is apt-get source's to say.
        $sudo apt-get update -q ||
            echo "ARM64 toolchain: apt-get update reported errors (above); going on" >&2
    fi

    rm -rf "$dir/source" "$dir/runtime" "$dir/sysroot" "$dir/done"
    mkdir -p "$dir/source" "$dir/runtime/libarm64" "$dir/sysroot/$triple/lib"
    (cd "$dir/source" && apt-get source -q "mingw-w64=$source_version" >source.log 2>&1) || {
        tail -n 20 "$dir/source/source.log" >&2
        fail "apt-get source mingw-w64=$source_version failed"
    }
    local crt
    crt=$(echo "$dir"/source/mingw-w64-*/mingw-w64-crt)
    [ -x "$crt/configure" ] || fail "the source package has no mingw-w64-crt/configure"

    # The headers are Debian's, used in place; the libraries go beside them in a sysroot of our
    # own.
    ln -s /usr/share/mingw-w64/include "$dir/sysroot/$triple/include"

    # The one compiler builtin the runtime and the program need: the stack probe.
    clang-14 --target=$triple -c "$here/../cmake/chkstk-arm64.S" -o "$dir/runtime/chkstk.o" ||
        fail "the stack probe did not assemble"
    llvm-ar-14 rcD "$dir/sysroot/$triple/lib/libgcc.a" "$dir/runtime/chkstk.o"
    llvm-ar-14 rcD "$dir/sysroot/$triple/lib/libgcc_eh.a"

    local objects=(crt2u.o crt2.o dllcrt2.o crtbegin.o crtend.o libmingw32.a libmingwex.a
        libmsvcrt.a libmoldname.a libkernel32.a libuser32.a libadvapi32.a libshell32.a)
    # The source is found through a relative path, so that no folder name of this machine
    # reaches the objects, and the same version gives the same runtime wherever DIR is.
    (
        export PATH="$dir/bin:$PATH"
        cd "$dir/runtime"
        "../source/${crt#"$dir/source/"}/configure" --host=$triple --disable-lib32 \
            --disable-lib64 --enable-libarm64 --with-default-msvcrt=msvcrt-os \
            CC="clang-14 --target=$triple --sysroot=$dir/sysroot" \
            CFLAGS="-O2 -ffile-prefix-map=$dir=." AR=llvm-ar-14 RANLIB=llvm-ranlib-14 \
            DLLTOOL="$dir/bin/$triple-dlltool" >configure.log 2>&1 ||
            { tail -n 20 configure.log >&2; exit 1; }
        make -j "$(nproc)" "${objects[@]/#/libarm64/}" >make.log 2>&1 ||
            { tail -n 20 make.log >&2; exit 1; }
    ) || fail "the MinGW-w64 runtime $source_version did not build (logs in $dir/runtime)"
    local object
    for object in "${objects[@]}"; do
        cp "$dir/runtime/libarm64/$object" "$dir/sysroot/$triple/lib/"
    done

    {
        dpkg-query -W -f '${Package} ${Version}\n' "${tools[@]}"
        echo "mingw-w64 source $source_version"
    } >"$entry/versions.txt"
    cp -a "$dir/sysroot" "$entry/"
}

cache_entry "arm64-runtime-$build" "$(stamp)" make_runtime ||
    fail "the runtime could not be made in the cache ($cache)"
rm -rf "$dir/sysroot"
cp -a "$cache_made/sysroot" "$cache_made/versions.txt" "$dir/"
stamp >"$dir/done"
