#!/usr/bin/env bash
# Sets up the dependencies, builds, and starts the desktop program.
# Without a display it runs under Xvfb, saves a screenshot of the main window and exits.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build="${QUIVA_BUILD_DIR:-$root/build}"
program="$build/src/app/quiva-tessaline"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$program" "$@"
fi
shot="${QUIVA_SCREENSHOT:-$build/quiva-tessaline.png}"
QUIVA_SCREENSHOT="$shot" xvfb-run -a -s "-screen 0 1280x1024x24" "$program" "$@"
echo "No display: screenshot of the main window saved to $shot"
