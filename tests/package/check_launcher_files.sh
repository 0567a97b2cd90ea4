#!/usr/bin/env bash
# The launcher entry passes desktop-file-validate, the AppStream metadata passes
# `appstreamcli validate --no-net --pedantic` without a single remark, they name the same
# program, icon and entry, its screenshots are the README's pictures, and its newest
# release is the program's version.
#   check_launcher_files.sh PACKAGING_FOLDER APP_ID VERSION
set -euo pipefail
folder=$1
id=$2
version=$3
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
if ! report=$(appstreamcli validate --no-net --pedantic --explain "$metainfo"); then
    failed=1
fi
echo "$report"
if grep -qE '^[EWIP]: ' <<<"$report"; then
    echo "appstreamcli has remarks on $(basename "$metainfo")" >&2
    failed=1
fi
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
for tag in project_license developer_name '<url type="homepage">' '<screenshot type="default">'; do
    check "$metainfo" "$tag"
done
# Each screenshot is one of the pictures scripts/screenshots.sh makes.
for image in $(grep -o '<image>[^<]*</image>' "$metainfo" | sed 's/<[^>]*>//g'); do
    if [ ! -f "$folder/../docs/screenshots/$(basename "$image")" ]; then
        echo "the screenshot $image is none of docs/screenshots" >&2
        failed=1
    fi
done
# The first release listed is the newest.
newest=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n 1 | cut -d'"' -f2)
if [ "$newest" != "$version" ]; then
    echo "the newest release in $(basename "$metainfo") is '$newest', not $version" >&2
    failed=1
fi
[ -f "$folder/icons/quiva-tessaline.svg" ] || { echo "the icon's SVG is missing" >&2; failed=1; }
exit $failed
