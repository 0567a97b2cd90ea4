#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, runs and tests with.
# Idempotent: when every package is present it returns at once without calling apt.
set -euo pipefail

PACKAGES=(
    g++ cmake ninja-build pkg-config ccache lld clang-format
    qt6-base-dev
    libsqlite3-dev zlib1g-dev libssl-dev libdeflate-dev libsodium-dev libzstd-dev
    libphp8.2-embed php8.2-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth
    python3
    borgbackup restic inotify-tools
    rhash
    dpkg-dev help2man librsvg2-bin desktop-file-utils appstream lintian bash-completion xxd
)

missing=()
for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    if [ "$status" != "installed" ]; then
        missing+=("$pkg")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        SUDO="sudo"
    else
        echo "setup: need root (or sudo) to install: ${missing[*]}" >&2
        exit 1
    fi
fi

echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
