#!/usr/bin/env bash
# Sets up the dependencies, builds, and runs every test. Exits non-zero on any failure.
#   --sanitize   the same suite built with AddressSanitizer and UBSan (test-sanitize.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
    "") ;;
    --sanitize) exec "$root/scripts/test-sanitize.sh" ;;
    *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
esac
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build="${QUIVA_BUILD_DIR:-$root/build}"
cd "$build"
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure --parallel "$(nproc)" --timeout 600
