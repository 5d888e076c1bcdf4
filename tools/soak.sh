#!/usr/bin/env bash
# Runs the Wine tables of the three images (ARM64 in the arm64 root), the example setups' tables
# (NSIS, MSI, Inno Setup) through the rehearsal runner, and the kit's test, RUNS times in a row,
# alone or with the machine oversubscribed (two busy processes per core), and prints every
# failure, every restart of Wine between cases, and a closing line. Not part of the test suite: it
# takes long.
#
#   tools/soak.sh [RUNS] [--oversubscribed] [TABLE...]
#       TABLE: x86 x64 arm64 nsis msi inno kit (the default: all seven), or x86-win32 (the x86
#       table in a 32-bit prefix). kit takes the release of HEAD, which the release test makes once.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
    echo "usage: tools/soak.sh [RUNS] [--oversubscribed] [x86|x64|arm64|nsis|msi|inno|kit|x86-win32...]" >&2
    exit 2
}
runs=${1:-5}
[[ $runs =~ ^[1-9][0-9]*$ ]] || usage
shift $(($# > 0))
load=
[ "${1:-}" != --oversubscribed ] || { load=$1; shift; }
tables=("$@")
[ $# -gt 0 ] || tables=(x86 x64 arm64 nsis msi inno kit)
for table in "${tables[@]}"; do
    [[ $table =~ ^(x86|x64|arm64|nsis|msi|inno|kit|x86-win32)$ ]] || usage
done
. kit/deps.sh
ensure_packages stress-ng nsis wixl
ensure_npm || exit 1

for arch in x86 x64 arm64; do
    cmake --preset "win-$arch" >/dev/null
    cmake --build --preset "win-$arch" -j "$(nproc)" >/dev/null
done
kit/arm64-root.sh build/arm64-root
# The example setups, as the packaging preset builds them into build/nsis, build/msi and build/inno.
cmake --preset packaging >/dev/null
cmake --build --preset packaging --target example-setups >/dev/null
# The kit's test takes the release's zips of HEAD, which the release test leaves.
release=build/packaging/tests/release
if [[ " ${tables[*]} " == *" kit "* ]]; then
    made=$(ctest --preset packaging -R '^release$' -FS arm64-root 2>&1) || {
        tail -n 20 <<<"$made" >&2
        echo "The release test failed (above): the kit's test has no release to take." >&2
        exit 1
    }
fi
stress=
trap '[ -z "$stress" ] || kill "$stress" 2>/dev/null' EXIT
if [ -n "$load" ]; then
    stress-ng --cpu $((2 * $(nproc))) --timeout 0 --quiet &
    stress=$!
fi

# The sessions copy the prefixes the tests keep in the cache, and hold a 32-bit prefix's desktop
# with the x86 build's holder, as under ctest.
VARNHOLT_WINE_PREFIXES=$(cache_folder)/wine-prefixes
VARNHOLT_DESKTOP_HOLDER=$PWD/build/win-x86/hold-desktop.exe
export VARNHOLT_WINE_PREFIXES VARNHOLT_DESKTOP_HOLDER
cases=0 failed=0 started=$SECONDS
for run in $(seq "$runs"); do
    for table in "${tables[@]}"; do
        if [ "$table" = nsis ]; then
            command=(/usr/bin/python3 kit/rehearse.py build/nsis/driver-setup-rehearsal.exe
                examples/nsis/cases.json)
        elif [ "$table" = msi ]; then
            command=(/usr/bin/python3 kit/rehearse.py build/msi/driver-setup-x64-rehearsal.msi
                examples/msi/cases.json)
        elif [ "$table" = inno ]; then
            command=(/usr/bin/python3 kit/rehearse.py build/inno/driver-setup-rehearsal.exe
                examples/inno/cases.json)
        elif [ "$table" = kit ]; then
            command=(/usr/bin/python3 tests/kit_test.py "$release")
        else
            arch=${table%-win32}
            command=(/usr/bin/python3 tests/run_cases.py "build/win-$arch/varnholt.exe"
                --wine "$arch" --standins "build/win-$arch")
            [ "$arch" = "$table" ] || command+=(--winearch win32)
            [ "$arch" != arm64 ] || command+=(--arm64-root build/arm64-root)
        fi
        output=$("${command[@]}" 2>&1) || true
        closing=$(grep -Eo '[0-9]+ passed, [0-9]+ failed' <<<"$output" | tail -n 1) || true
        if [ -z "$closing" ]; then
            echo "run $run, $table: no closing line"
            tail -n 20 <<<"$output" | sed 's/^/  /'
            failed=$((failed + 1))
            continue
        fi
        read -r passed _ fails _ <<<"$closing"
        cases=$((cases + passed + fails)) failed=$((failed + fails))
        echo "run $run, $table: $closing ($((SECONDS - started)) s so far)"
        grep -E -A4 '^(FAIL|note:)' <<<"$output" | sed 's/^/  /' || true
    done
done
echo "soak${load:+ (oversubscribed)} of ${tables[*]}: $runs runs, $cases cases, $failed failed," \
    "$((SECONDS - started)) s"
[ "$failed" -eq 0 ]
