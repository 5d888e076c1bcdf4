#!/usr/bin/env bash
# Compiles an Inno Setup script with the pinned Inno Setup compiler, under Wine:
#     tools/iscc.sh SCRIPT.iss [COMPILER OPTIONS...]      (e.g. /DNAME=VALUE /O"OUTDIR")
# The compiler (Inno Setup 6.4.1, from the npm registry's innosetup package, which carries
# the whole compiler) is installed under build/ the first time, checked against its pinned
# sum. Exits with the compiler's status; 1 also when it ended without writing its setup.
set -uo pipefail
version=6.4.1
sum=fc36b763a729c8964416552d733f4864ac4a4934d0a6569e20c2feb4c29b9684
top=$(cd "$(dirname "$0")/.." && pwd)
home=$top/build/innosetup-$version

[ $# -ge 1 ] && [ -f "$1" ] ||
    { echo "usage: $0 SCRIPT.iss [COMPILER OPTIONS...] (no such script: ${1:-none})" >&2; exit 2; }
command -v wine >/dev/null ||
    { echo "$0: it needs Wine (Debian: wine, wine32:i386, wine64)" >&2; exit 2; }

# One run at a time: it installs the compiler and makes its prefix the first time, and ends
# what it started in the prefix (Wine's services, a debugger at the compiler's crash) at the end.
mkdir -p "$home" && exec 9>"$home/.lock" && flock 9 ||
    { echo "$0: $home cannot be written" >&2; exit 2; }
if [ ! -f "$home/compiler/ISCC.exe" ]; then
    echo "Installing Inno Setup $version into $home"
    command -v npm >/dev/null || { echo "$0: it needs npm to install Inno Setup (Debian: npm)" >&2; exit 2; }
    rm -rf --one-file-system "$home/download"
    mkdir "$home/download"
    if ! (cd "$home/download" && timeout 300 npm pack --silent "innosetup@$version" >/dev/null); then
        echo "$0: Inno Setup $version could not be had from the npm registry (npm pack innosetup@$version)" >&2
        exit 2
    fi
    if ! echo "$sum  $home/download/innosetup-$version.tgz" | sha256sum --check --status; then
        echo "$0: the npm registry's innosetup@$version is not the pinned one (its sha256 is not $sum)" >&2
        exit 2
    fi
    tar -xzf "$home/download/innosetup-$version.tgz" -C "$home/download" package/bin &&
        mv -T "$home/download/package/bin" "$home/compiler" ||
        { echo "$0: Inno Setup $version could not be unpacked into $home" >&2; exit 2; }
    rm -rf --one-file-system "$home/download"
fi

# Under Wine the compiler needs no display, and with one it was seen to hang: it gets none.
# The compiler is an x86 program, but its prefix is a 64-bit one: there Wine's own services are
# x64 programs, which never run under qemu-i386 (a run takes 7 s, 40 s in a 32-bit prefix).
# Where x86 code runs under qemu-i386, a smaller guest address space spares each start a
# search of a minute.
export WINEPREFIX=$home/prefix64 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
export QEMU_RESERVED_VA=0x81000000
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    rm -rf --one-file-system "$WINEPREFIX"
    timeout 600 wineboot -i >/dev/null 2>&1 ||
        { echo "$0: Wine could not make the compiler's prefix $WINEPREFIX" >&2; exit 2; }
fi
output=$(mktemp)
trap 'rm -f "$output"; wineserver -k 2>/dev/null' EXIT
# Paths are turned by hand: winepath, an x86 program too, is as slow and as fragile.
script=$(realpath "$1")
script=Z:${script//\//\\}
shift
timeout 900 wine "$home/compiler/ISCC.exe" "$@" "$script" | tee "$output" | tr -d '\r'
status=${PIPESTATUS[0]}
# Under qemu-i386 the compiler may crash on its way out after writing the setup, with status
# 0: what counts is the setup it says it wrote.
written=$(tr -d '\r' <"$output" | grep -A1 'Resulting Setup program filename is:$' | tail -n 1)
if [ "$status" -eq 0 ]; then
    drive=${written:0:1}
    rest=${written:2}
    if [ -z "$written" ] || [ ! -f "$WINEPREFIX/dosdevices/${drive,,}:${rest//\\//}" ]; then
        echo "$0: the compiler ended without writing its setup" >&2
        status=1
    fi
elif [ "$status" -eq 124 ]; then
    echo "$0: the compiler ran past its bound of 900 s" >&2
fi
exit "$status"
