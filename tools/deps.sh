# shellcheck shell=bash
# Sourced by the scripts beside it: installs the Debian packages it is given that are missing.
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -q
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Registers qemu-user-static's emulator for one machine's programs (i386 or aarch64) with the
# kernel, unless it runs them already; fails when they still cannot run.
ensure_qemu() {
    local binfmt=/proc/sys/fs/binfmt_misc magic mask
    case $1 in
    i386)
        magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
        mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' ;;
    aarch64)
        magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
        mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' ;;
    esac
    [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt || return 1
    # F: the kernel opens the emulator now, so that it runs inside other roots too.
    [ -e "$binfmt/qemu-$1" ] ||
        echo ":qemu-$1:M::$magic:$mask:/usr/bin/qemu-$1-static:F" >$binfmt/register || return 1
}
