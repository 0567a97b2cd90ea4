#!/usr/bin/env bash
# The man pages quiva(1) and quiva-tessaline(1): both have ENVIRONMENT, FILES and EXIT
# STATUS sections naming what the programs read and keep, they say which password a fresh
# installation uses (as `quiva backup --help` does), and groff formats them without a
# warning.
#   check_man_pages.sh MAN_FOLDER QUIVA
set -uo pipefail
folder=$1
quiva=$2
failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}
for page in quiva quiva-tessaline; do
    file="$folder/$page.1.gz"
    if [ ! -f "$file" ]; then
        fail "$file was not made (help2man is missing?)"
        continue
    fi
    text=$(zcat "$file")
    for section in '.SH ENVIRONMENT' '.SH FILES' '.SH "EXIT STATUS"'; do
        grep -qxF -- "$section" <<<"$text" || fail "$page(1) has no section $section"
    done
    for word in XDG_DATA_HOME QUIVA_BACKUP_PASSWORD QUIVA_UPDATE_SERVER QUIVA_WEB_ADDRESS \
        http_proxy https_proxy no_proxy qvde.d backups.db logs/ vompa7; do
        grep -qF -- "$word" <<<"$text" || fail "$page(1) does not mention $word"
    done
    warnings=$(zcat "$file" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "groff warns about $page(1): $warnings"
done
"$quiva" backup --help | grep -q 'fresh installation uses the password vompa7' ||
    fail "quiva backup --help does not say which password a fresh installation uses"
[ "$failed" -eq 0 ] && echo "both man pages have their sections"
exit $failed
