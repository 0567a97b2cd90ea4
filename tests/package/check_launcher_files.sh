#!/usr/bin/env bash
# The launcher entry passes desktop-file-validate, the AppStream metadata passes
# `appstreamcli validate --no-net`, and they name the same program, icon and entry.
#   check_launcher_files.sh PACKAGING_FOLDER APP_ID
set -euo pipefail
folder=$1
id=$2
desktop="$folder/$id.desktop"
metainfo="$folder/$id.metainfo.xml"
for tool in desktop-file-validate appstreamcli; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is missing: scripts/setup.sh installs it" >&2
        exit 1
    fi
done
failed=0
desktop-file-validate "$desktop" || failed=1
appstreamcli validate --no-net --explain "$metainfo" || failed=1
check() {
    if ! grep -q "$2" "$1"; then
        echo "$(basename "$1"): no line matching '$2'" >&2
        failed=1
    fi
}
check "$desktop" '^Exec=quiva-tessaline$'
check "$desktop" '^Icon=quiva-tessaline$'
check "$metainfo" "<id>$id</id>"
check "$metainfo" "<launchable type=\"desktop-id\">$id.desktop</launchable>"
[ -f "$folder/icons/quiva-tessaline.svg" ] || { echo "the icon's SVG is missing" >&2; failed=1; }
exit $failed
