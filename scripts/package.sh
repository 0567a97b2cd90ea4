#!/usr/bin/env bash
# Builds the Debian package quiva-tessaline_VERSION_ARCH.deb into build/ (setting up and
# building first) and prints its path. Install it with
#   sudo apt-get install ./build/quiva-tessaline_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build="${QUIVA_BUILD_DIR:-$root/build}"
cd "$build"
cpack -G DEB >/dev/null
ls -1 "$build"/quiva-tessaline_*.deb
