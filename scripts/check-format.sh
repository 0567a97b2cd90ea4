#!/usr/bin/env bash
# Checks that every C++ source of the repository is formatted with its .clang-format.
# Prints the files that are not and exits non-zero; `--fix` formats them instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests bench -name '*.cpp' -o -name '*.h')
if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
bad=()
for file in "${files[@]}"; do
    if ! clang-format --dry-run -Werror "$file" >/dev/null 2>&1; then
        bad+=("$file")
    fi
done
if [ ${#bad[@]} -gt 0 ]; then
    printf 'Not formatted (run scripts/check-format.sh --fix):\n' >&2
    printf '  %s\n' "${bad[@]}" >&2
    exit 1
fi
echo "format: ${#files[@]} files formatted"
