#!/usr/bin/env bash
# Configures and builds the project into build/ (Release with debug info, warnings on).
# Uses ccache when it is installed, so that a rebuild of unchanged sources is quick.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${QUIVA_BUILD_DIR:-$root/build}"
generator=()
if command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    # Paths relative to the checkout, so that two checkouts share the cache.
    export CCACHE_BASEDIR="$root"
    export CCACHE_NOHASHDIR=1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" "${generator[@]}" "${launcher[@]}" \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --parallel "$(nproc)"
