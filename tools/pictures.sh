#!/usr/bin/env bash
# Builds the x86 image and its stand-ins, then takes the README's pictures of the two questions.
set -euo pipefail
cd "$(dirname "$0")/.."
. kit/deps.sh
ensure_packages cmake make g++-mingw-w64-i686-posix wine wine32:i386 xvfb xdotool imagemagick
cmake --preset win-x86 >/dev/null
cmake --build --preset win-x86 -j "$(nproc)"
/usr/bin/python3 tools/pictures.py
