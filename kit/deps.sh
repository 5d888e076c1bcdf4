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

# npm, which fetches the Inno Setup compiler; a Node.js that is not Debian's brings its own.
ensure_npm() {
    command -v npm >/dev/null || ensure_packages npm ||
        { echo "npm could not be installed; the Inno Setup example cannot be built." >&2; return 1; }
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

# The Debian archive this machine's apt uses (its first URIs), or Debian's own.
debian_archive() {
    sed -n 's/^URIs: //p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
        head -n 1 | grep . || echo http://deb.debian.org/debian
}

# The per-user cache of what is slow to make and the same wherever it is made: the ARM64 runtime,
# the arm64 root, kept Wine prefixes. Removing it is always safe; it is made again as needed.
cache_folder() {
    local folder=${VARNHOLT_CACHE:-}
    if [ -z "$folder" ]; then
        folder=${XDG_CACHE_HOME:-}
        # ~ is the user's home even where HOME is unset.
        [[ $folder == /* ]] || folder=~/.cache
        folder=$folder/varnholt
    fi
    [[ $folder == /* ]] ||
        { echo "VARNHOLT_CACHE must be an absolute path, not $folder" >&2; return 1; }
    echo "$folder"
}

# The one keeper of the cache's entries, which the runner's kept prefixes share: the runner's
# module, from rehearse.pyz in the kit, from its package beside this file in the project.
cache_runner=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ ! -f "$cache_runner/rehearse.pyz" ] || cache_runner=$cache_runner/rehearse.pyz
cache_tool() { PYTHONPATH=$cache_runner python3 -m rehearsal.cache "$@"; }

# Sets cache_made to the folder of the cache's entry for PIECE whose content KEY decides, made
# first if there is none by running MAKER... with an empty folder added as its last argument
# (kit/rehearsal/cache.py keeps the entries: made aside, renamed into place whole).
cache_entry() {
    local piece=$1 key=$2 cache making
    shift 2
    cache=$(cache_folder) || return 1
    if cache_made=$(cache_tool find "$cache/$piece" "$key"); then
        return 0
    fi
    making=$(cache_tool begin "$cache/$piece") || return 1
    # A maker that fails may end the script: what it left is removed then too.
    cache_unfinished=$making
    trap 'rm -rf --one-file-system "$cache_unfinished"' EXIT
    "$@" "$making" || { rm -rf --one-file-system "$making"; return 1; }
    trap - EXIT
    cache_made=$(cache_tool finish "$making" "$cache/$piece" "$key")
}
