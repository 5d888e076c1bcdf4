#!/usr/bin/env bash
# Installs what is missing, then builds every preset and runs the whole test suite: the host
# build (plain and with sanitizers), the three Windows images, checked as files and run under
# Wine (the ARM64 one under the arm64 Wine of an arm64 Debian root, kept under build/),
# and what is made of them: the example NSIS setup, the release and its rehearsal kit. Given
# preset names, only those. The tests must leave the tree as they found it. What is slow to
# make (the ARM64 runtime, the arm64 root, Wine prefixes) comes from the per-user cache, made
# there the first time; the run ends with a line for each piece, made or reused.
#
#   tools/check.sh [PRESET...]
set -euo pipefail
cd "$(dirname "$0")/.."
presets=(host host-sanitize win-x86 win-x64 win-arm64 packaging)
[ $# -eq 0 ] || presets=("$@")
. kit/deps.sh
ensure_packages cmake make g++ libgtest-dev python3 python3-pefile python3-jsonschema git llvm \
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
    clang-14 lld-14 llvm-14 mingw-w64-common dpkg-dev mmdebstrap arch-test qemu-user-static \
    wine wine32:i386 wine64 xvfb xdotool nsis wixl \
    zip strip-nondeterminism osslsigncode openssl softhsm2 libengine-pkcs11-openssl tzdata \
    python3-yaml podman runc ||
    { echo "The build tools or Wine could not be installed; the images cannot be tested." >&2; exit 1; }
ensure_npm || exit 1

# Some kernels are built or booted without 32-bit emulation; Wine's x86 loader then runs
# under qemu-i386, registered for 32-bit x86 programs.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "This kernel cannot run 32-bit x86 programs; running them under qemu-i386."
    ensure_packages qemu-user-static
    ensure_qemu i386 || true
    if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo "Wine's x86 loader cannot run on this machine; the x86 image cannot be tested." >&2
        exit 1
    fi
fi

# Each piece of the cache that the run used, said once when the run ends: made or reused.
cache=$(cache_folder) || exit 2
VARNHOLT_CACHE_REPORT=$(mktemp)
export VARNHOLT_CACHE_REPORT
account() {
    awk -F '\t' -v cache="$cache/" '
        !($2 in what) { order[n++] = $2 }
        !($2 in what) || $1 == "made" { what[$2] = $1 }
        END {
            for (i = 0; i < n; i++) {
                entry = order[i]
                if (index(entry, cache) == 1) entry = substr(entry, length(cache) + 1)
                print "cache: " what[order[i]] " " entry
            }
        }
    ' "$VARNHOLT_CACHE_REPORT"
    rm -f "$VARNHOLT_CACHE_REPORT"
}
trap account EXIT
echo "cache: $cache"

before=$(git status --porcelain --ignored=no)
for preset in "${presets[@]}"; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    ctest --preset "$preset"
done
after=$(git status --porcelain --ignored=no)
if [ "$before" != "$after" ]; then
    echo "The tests changed the tree (git status before, then after):" >&2
    diff <(echo "$before") <(echo "$after") >&2 || true
    exit 1
fi
