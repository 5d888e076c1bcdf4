#!/usr/bin/env bash
# Builds a Windows Installer package with wixl (msitools):
#     tools/wixl.sh SOURCE.wxs WIXL-OPTIONS... -o OUTPUT.msi
# and fails where wixl would only warn: wixl drops what it cannot place (a BinaryKey action, for
# one) with a line on stderr and still exits 0. Exits with wixl's status, or 1 after any such line.
set -uo pipefail
[ $# -ge 1 ] && [ -f "$1" ] || { echo "usage: $0 SOURCE.wxs WIXL-OPTIONS... -o OUTPUT.msi (no such source: ${1:-none})" >&2; exit 2; }
command -v wixl >/dev/null || { echo "wixl is not installed (Debian: apt-get install wixl)" >&2; exit 2; }
said=$(mktemp)
trap 'rm -f "$said"' EXIT
wixl "$@" 2>"$said"
status=$?
cat "$said" >&2
if [ $status -eq 0 ] && [ -s "$said" ]; then
    echo "$0: wixl warned about $1 (above); the package it wrote is removed" >&2
    status=1
    while [ $# -gt 1 ]; do
        case $1 in -o | --output) rm -f -- "$2" ;; esac
        shift
    done
fi
exit $status
