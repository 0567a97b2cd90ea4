#!/usr/bin/env bash
# The Debian package end to end:
#  1. CPack builds quiva-tessaline_*.deb from the build tree;
#  2. it holds every file the desktop needs, lintian finds no error in it (its warnings
#     are printed) and, unless the build was made without them (--no-hardening), none of
#     its hardening tags: the programs are built with Debian's hardening flags;
#  3. unpacked into a folder, its programs run from there: quiva finds the PHP module
#     relative to itself, not in the build tree;
#  4. as root, `apt-get install ./quiva-tessaline_*.deb` installs it into this machine; the
#     installed quiva answers --version, checksums a file, runs the stored scripts, and the
#     launcher entry's command starts the desktop program headless to its screenshot; the
#     package is then removed again (unless it was installed before).
# Not as root, step 4 is skipped and the test reports a skip (exit 77).
#   check_package.sh BUILD_FOLDER APP_ID VERSION [--sanitized] [--no-hardening]
set -euo pipefail
build=$1
id=$2
version=$3
hardened=yes
for option in "${@:4}"; do
    case $option in
        --sanitized)
            echo "A sanitizer build is not packaged: skipped."
            exit 77
            ;;
        --no-hardening) hardened=no ;;
    esac
done
for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is missing: scripts/setup.sh installs it" >&2
        exit 1
    fi
done

work=$(mktemp -d)
remove_package=no
cleanup() {
    if [ "$remove_package" = yes ]; then
        apt-get -o DPkg::Lock::Timeout=300 purge -y -qq quiva-tessaline >/dev/null 2>&1 ||
            echo "could not remove the package quiva-tessaline again" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT
# apt reads the package as its own user: the folder must be open to it.
chmod 755 "$work"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

echo "== 1. the package"
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/package" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack could not build the package"
fi
debs=("$work"/package/quiva-tessaline_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || fail "no quiva-tessaline_*.deb was made"
echo "$(basename "$deb")"
dpkg-deb --field "$deb" Package Version Depends

echo "== 2. its files, and lintian"
dpkg-deb --contents "$deb" | awk '{print $NF}' >"$work/contents"
for path in \
    ./usr/bin/quiva ./usr/bin/quiva-tessaline \
    './usr/lib/[^/]*/quiva-tessaline/libquiva_php.so' \
    "./usr/share/applications/$id.desktop" "./usr/share/metainfo/$id.metainfo.xml" \
    ./usr/share/icons/hicolor/48x48/apps/quiva-tessaline.png \
    ./usr/share/icons/hicolor/128x128/apps/quiva-tessaline.png \
    ./usr/share/icons/hicolor/256x256/apps/quiva-tessaline.png \
    ./usr/share/icons/hicolor/scalable/apps/quiva-tessaline.svg \
    ./usr/share/man/man1/quiva.1.gz ./usr/share/man/man1/quiva-tessaline.1.gz \
    ./usr/share/bash-completion/completions/quiva \
    ./usr/share/doc/quiva-tessaline/copyright ./usr/share/doc/quiva-tessaline/changelog.gz; do
    grep -qx -- "$path" "$work/contents" || fail "the package lacks $path"
done
echo "every file is there"
status=0
lintian --fail-on error --display-info --pedantic --tag-display-limit 0 "$deb" \
    >"$work/lintian.log" 2>&1 || status=$?
grep -v 'root privileges' "$work/lintian.log" || true
[ "$status" -eq 0 ] || fail "lintian found errors"
if [ "$hardened" = yes ] && grep -q ' hardening-' "$work/lintian.log"; then
    fail "lintian finds programs built without Debian's hardening flags"
fi
echo "lintian: $(grep -c '^E:' "$work/lintian.log" || true) errors, $(grep -c '^W:' "$work/lintian.log" || true) warnings"

echo "== 3. unpacked into a folder"
export XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
dpkg-deb -x "$deb" "$work/root"
printf 'abc' >"$work/abc.txt"
abc_sha256=BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD

# Runs one quiva (the path given) through the checks that need no display.
check_quiva() {
    local quiva=$1
    [ "$("$quiva" --version)" = "quiva $version" ] || fail "$quiva --version"
    [ "$("$quiva" checksum --algo sha256 "$work/abc.txt")" = "$abc_sha256  $work/abc.txt" ] ||
        fail "$quiva checksum of abc"
    # The master password is checked by a stored script: it needs the PHP module.
    local passwords
    passwords=$(echo "master77" | "$quiva" pwd --mnemonic site) || fail "$quiva pwd: the PHP module was not found"
    [ "$(echo "$passwords" | wc -l)" -eq 6 ] || fail "$quiva pwd printed no six passwords"
    echo "$quiva: --version, checksum and pwd work"
}
check_quiva "$work/root/usr/bin/quiva"
[ "$("$work/root/usr/bin/quiva-tessaline" --version)" = "quiva-tessaline $version" ] ||
    fail "quiva-tessaline --version"

echo "== 4. installed into this machine"
if [ "$(id -u)" -ne 0 ]; then
    echo "Not root: the package is not installed into this machine; skipped."
    exit 77
fi
before=$(dpkg-query -W -f='${db:Status-Status}' quiva-tessaline 2>/dev/null || true)
[ "$before" = installed ] || remove_package=yes
export DEBIAN_FRONTEND=noninteractive
if ! apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "$deb" \
        >"$work/apt.log" 2>&1; then
    cat "$work/apt.log" >&2
    fail "apt-get could not install the package"
fi
[ "$(dpkg-query -W -f='${Version}' quiva-tessaline)" = "$version" ] || fail "the package is not installed"
check_quiva /usr/bin/quiva
# A file of the installed package, checksummed by the installed program.
copyright=/usr/share/doc/quiva-tessaline/copyright
want=$(sha256sum "$copyright" | cut -d' ' -f1 | tr 'a-f' 'A-F')
[ "$(/usr/bin/quiva checksum --algo sha256 "$copyright")" = "$want  $copyright" ] ||
    fail "quiva checksum of the installed $copyright"
# The launcher entry's command, as the desktop runs it, headless to its screenshot.
entry=/usr/share/applications/$id.desktop
command=$(sed -n 's/^Exec=//p' "$entry")
[ -n "$command" ] || fail "$entry has no Exec line"
shot="$work/screenshot.png"
# shellcheck disable=SC2086 # the Exec line is split into words as the desktop splits it
env PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen QUIVA_SCREENSHOT="$shot" \
    timeout 120 $command >"$work/program.log" 2>&1 ||
    { cat "$work/program.log" >&2; fail "the launcher's command '$command' failed"; }
[ -s "$shot" ] || fail "the installed program saved no screenshot"
echo "the launcher's command '$command' started the installed program; screenshot saved"
[ -f /usr/share/icons/hicolor/256x256/apps/quiva-tessaline.png ] || fail "the icon is not installed"
echo "installed and run: all well"
