#!/usr/bin/env bash
# Starts the desktop program headless (under Xvfb) and saves a picture of every window it
# has, each picked as a user picks it (the tools through the tree, the shell's windows
# through the menus), into docs/screenshots/ for the README's table. The pictures are
# made by this script, never edited by hand; run it again when a window changes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build="${QUIVA_BUILD_DIR:-$root/build}"
out="$root/docs/screenshots"

# A program folder of its own, so that the pictures show a first start and no running
# instance is asked to come to the front instead.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data" "$work/run"
chmod 700 "$work/run"

mkdir -p "$out"
rm -f "$out"/*.png
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" QUIVA_SCREENSHOT_FOLDER="$out" \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$build/src/app/quiva-tessaline"
echo "Screenshots in $out:"
ls "$out"
