#!/usr/bin/env bash
# Builds the project and every test with AddressSanitizer and UBSan into build-sanitize/
# and runs the whole suite there. Any sanitizer report fails its test. Exits non-zero on
# any failure. Leaks are reported too, except those on the lists in
# scripts/sanitize/lsan.supp (Qt's and PHP's own).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build="${QUIVA_SANITIZE_BUILD_DIR:-$root/build-sanitize}"

generator=()
if command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="$root"
    export CCACHE_NOHASHDIR=1
fi
# Debug keeps Qt's own bounds assertions (Q_ASSERT) on; -O1 keeps the tests quick enough.
sanitize="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" "${generator[@]}" "${launcher[@]}" \
          -DCMAKE_BUILD_TYPE=Debug \
          -DCMAKE_CXX_FLAGS="-O1 $sanitize" \
          -DCMAKE_EXE_LINKER_FLAGS="$sanitize" \
          -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" \
          -DCMAKE_MODULE_LINKER_FLAGS="$sanitize" \
          -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
fi
cmake --build "$build" --parallel "$(nproc)"

supp="$root/scripts/sanitize"
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_init_order=1:check_initialization_order=1:detect_stack_use_after_return=1:print_summary=1"
export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1"
export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure --parallel "$(nproc)" --timeout 1200
