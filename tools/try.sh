#!/usr/bin/env bash
# Builds the host program and runs it on the example package under the simulated driver services.
set -euo pipefail
cd "$(dirname "$0")/.."
. kit/deps.sh
ensure_packages cmake make g++ libgtest-dev

cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc)"

varnholt=build/host/varnholt
package=examples/demo-package/demo.inf
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Runs one command, then shows its exit status and the platform calls it made.
show() {
    echo "\$ $*"
    local status output
    : >"$log"
    output=$(env VARNHOLT_SIM_LOG="$log" "$@" && echo .0 || echo ".$?")
    status=${output##*.}
    output=${output%.*}
    printf '%s' "$output"
    [ -z "$output" ] || [ "${output: -1}" = $'\n' ] || echo '  <- no line break at the end'
    echo "exit status $status; calls:"
    sed 's/^/    /' "$log"
    echo
}
show "$varnholt" -i "$package"
show VARNHOLT_SIM_INSTALL=259 "$varnholt" -i "$package"
show VARNHOLT_SIM_INSTALL=259,ok VARNHOLT_SIM_ANSWERS=yes "$varnholt" -o "$package"
show VARNHOLT_SIM_INSTALL=0xE0000235 VARNHOLT_SIM_ANSWERS=no "$varnholt" -iis "$package"
show "$varnholt" -u "$package"
show "$varnholt" -u missing.inf
