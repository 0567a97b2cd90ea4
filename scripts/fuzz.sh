#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer, AddressSanitizer and UBSan into
# build-fuzz/ and runs each for a while on a copy of its seed corpus.
#
#   scripts/fuzz.sh [TARGET] [SECONDS]
#
# TARGET is settings, profile_blob, version_blob, sum_list, recovery_key, http_response,
# csv_round_trip or all (the default); SECONDS is the time
# each target runs (default 60). Inputs that reach new code are kept in
# build-fuzz/corpus/TARGET/ for the next run; an input that finds a fault is saved in
# build-fuzz/crashes/TARGET/ and the script exits non-zero.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
targets=(settings profile_blob version_blob sum_list recovery_key http_response csv_round_trip)
target="${1:-all}"
seconds="${2:-60}"
if [ "$target" != all ] && [[ ! " ${targets[*]} " =~ " $target " ]]; then
    echo "usage: $0 [all|${targets[*]// /|}] [SECONDS]" >&2
    exit 2
fi
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
    echo "fuzz: SECONDS must be a whole number" >&2
    exit 2
fi
if [ "$target" != all ]; then
    targets=("$target")
fi

"$root/scripts/setup.sh"
# clang with its libFuzzer and sanitizer runtimes, and the symbolizer for readable traces.
extra=(clang libclang-rt-14-dev llvm)
missing=()
for pkg in "${extra[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    if [ "$status" != "installed" ]; then
        missing+=("$pkg")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then
        SUDO="sudo"
    fi
    echo "fuzz: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build="${QUIVA_FUZZ_BUILD_DIR:-$root/build-fuzz}"
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
# Every library is instrumented for coverage; only the fuzz targets link libFuzzer's main.
sanitize="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" "${generator[@]}" "${launcher[@]}" \
          -DCMAKE_CXX_COMPILER=clang++ \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $sanitize" \
          -DCMAKE_EXE_LINKER_FLAGS="$sanitize" \
          -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" \
          -DCMAKE_MODULE_LINKER_FLAGS="$sanitize" \
          -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
          -DQUIVA_LIBFUZZER=ON
fi
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:print_summary=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1"
export QT_QPA_PLATFORM=offscreen
failed=()
for name in "${targets[@]}"; do
    corpus="$build/corpus/$name"
    crashes="$build/crashes/$name"
    mkdir -p "$corpus" "$crashes"
    cp -n "$root/tests/fuzz/corpus/$name"/* "$corpus"/
    echo "fuzz: $name for $seconds s" >&2
    if ! "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=20 \
            -print_final_stats=1 -artifact_prefix="$crashes/" "$corpus"; then
        failed+=("$name")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: faults found by ${failed[*]}; inputs in $build/crashes/" >&2
    exit 1
fi
echo "fuzz: no fault found in ${targets[*]}" >&2
