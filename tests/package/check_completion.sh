#!/usr/bin/env bash
# The bash completion of quiva: commands, each command's options, the backup subcommands,
# the digest names of --algo (also after a comma), the routes of equalize, folders after
# --to and --target, file names for file arguments, nothing for values of the user's own,
# and only options the commands take.
#   check_completion.sh QUIVA_FOLDER COMPLETION_SCRIPT
set -uo pipefail
export PATH="$1:$PATH"
script=$2
if [ ! -f /usr/share/bash-completion/bash_completion ]; then
    echo "bash-completion is missing: scripts/setup.sh installs it" >&2
    exit 1
fi
# shellcheck source=/dev/null
source /usr/share/bash-completion/bash_completion
# shellcheck source=/dev/null
source "$script"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir dirA
touch dfile file1

# The sorted completions of the words given, the last one being completed.
complete_words() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _quiva quiva "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null || true
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//'
}

failed=0
expect() {
    local want=$1
    shift
    local got
    got=$(complete_words "$@")
    if [ "$got" != "$want" ]; then
        echo "FAIL: '$*' completes to '$got', expected '$want'" >&2
        failed=1
    else
        echo "ok: '$*' -> '$got'"
    fi
}

expect "splice split" quiva sp
expect "--help --version backup checksum compare equalize fill pwd rename splice split touch track" quiva ""
expect "--size" quiva split --si
expect "--overwrite" quiva splice --ov
expect "--algo --check --help --lower --tag" quiva checksum --
expect "sha1 sha256" quiva checksum --algo sha
expect "md5,sha1 md5,sha256" quiva checksum --algo md5,sh
expect "postfix prefix" quiva equalize a b --route p
expect "profile prune" quiva backup pr
expect "add" quiva backup profile a
expect "monitor" quiva backup mo
expect "dirA" quiva backup restore 5 --to d
expect "" quiva backup search NAME --to 2
expect "dfile dirA" quiva checksum d
expect "dfile dirA file1" quiva fill ""
expect "" quiva pwd --mnemonic s
expect "" quiva split file1 dirA --size 1
# Only real options: not the "systemctl --user enable --now" of backup's sample unit, not
# split's --manifest that splice's help mentions.
expect "--all --assign-date --classic --ext --from --help --limit --mask --no-recurse --password --recurse --remove-orphans --rule --size-limit --target --to" quiva backup --
expect "--help --overwrite --progress" quiva splice --
# Every option offered for a command is one the command takes (backup's belong to its
# subcommands, listed above). The program folder they may make is the test's own.
export XDG_DATA_HOME="$work/xdg"
for command in $(_quiva_commands quiva); do
    [ "$command" = backup ] && continue
    for option in $(_quiva_options quiva "$command"); do
        said=$(quiva "$command" "$option" </dev/null 2>&1 >/dev/null | head -n 3)
        if grep -qiE 'unknown option|unrecognized option|invalid option' <<<"$said"; then
            echo "FAIL: 'quiva $command $option' is offered but refused: $said" >&2
            failed=1
        fi
    done
done
exit $failed
