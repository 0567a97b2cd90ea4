#!/usr/bin/env bash
# Writes the help2man include file of quiva(1): a COMMANDS section with each command's own
# --help text, and the SEE ALSO section.
#   command-pages.sh QUIVA OUTPUT
set -euo pipefail
quiva=$1
output=$2
{
    echo '[COMMANDS]'
    "$quiva" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p' |
        while read -r command; do
            echo ".SS $command"
            echo '.nf'
            # roff: a backslash is written \e, and a line may not begin with . or '.
            "$quiva" "$command" --help | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
            echo '.fi'
        done
    echo '[SEE ALSO]'
    echo '.BR quiva-tessaline (1)'
} >"$output"
