#!/usr/bin/env bash
# completion_test.sh COMPLETION GNSSCTL
#
# gnssctl's bash completion (COMPLETION, sourced here) against gnssctl
# itself: a few partial command lines complete as a user expects (commands,
# options, option words, file names), every command gnssctl --help lists is
# completed, and after each command every option its --help gives in its
# synopsis and its option list is offered.
set -u

# shellcheck source=packaging/completion/gnssctl
source "$1" || exit 1
gnssctl="$2"
failed=0

# complete WORD...: what _gnssctl offers for the command line WORD...
# (the last word is the one being completed), sorted, on one line.
complete() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _gnssctl gnssctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | paste -sd ' '
}

expect() {
    local want="$1"
    shift
    local got
    got="$(complete "$@")"
    if [ "$got" != "$want" ]; then
        echo "FAIL: '$*' completes to '$got', expected '$want'"
        failed=1
    fi
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
touch "$work/drive.gpx" "$work/drop.pem" "$work/other"

# Commands and options, before and after a global option with its value.
commands="$("$gnssctl" --help | awk '/^Commands:/ { on = 1; next } on && /^$/ { exit }
                                    on && /^  [a-z]/ { print $1 }' | sort | paste -sd ' ')"
[ -n "$commands" ] || { echo "FAIL: gnssctl --help lists no commands"; exit 1; }
expect "$commands" gnssctl ""
expect "--socket" gnssctl --so
expect "--help --socket --timeout --version" gnssctl --socket /tmp/gnss.sock --timeout 5 --
expect "track" gnssctl --socket /tmp/gnss.sock --timeout 5 tr
expect "--response-time" gnssctl fix --re
# Words of options and commands.
expect "off on" gnssctl location o
expect "off on" gnssctl nmea --log ""
expect "all" gnssctl agnss --clear a
expect "accept" gnssctl ni --respond 7 a
expect "" gnssctl track --interval ""
expect "GET_CHIPSETINFO GET_DEVICE_CAPABILITY GET_FIXDATA" gnssctl raw GET_
# File names where an option takes a file, and nowhere else.
expect "$work/drive.gpx $work/drop.pem" gnssctl track --interval 1 --gpx "$work/dr"
expect "$work/drop.pem" gnssctl supl --cert "$work/drop"
expect "$work/other" gnssctl --socket "$work/ot"
expect "$work/other" gnssctl --socket = "$work/ot"
expect "info" gnssctl --socket = "$work/other" in
expect "" gnssctl fix "$work/dr"

# Every command the overview lists is completed, and after it every option of
# its synopsis and of its option list (the options a line begins with, such
# as "  -v, --verbose") is offered.
for command in $commands; do
    expect "$command" gnssctl "$command"
    offered=" $(complete gnssctl "$command" -) "
    help="$("$gnssctl" "$command" --help)"
    options="$( (sed -n '1s/^.*] '"$command"' //p' <<<"$help"; sed -nE 's/^ *(-[[:alnum:]-]+(, -[[:alnum:]-]+)*).*/\1/p' <<<"$help") |
        grep -oE -- '(^|[^[:alnum:]-])--?[[:alpha:]][[:alnum:]-]*' | sed -E 's/^[^-]+//' | sort -u)"
    for option in $options; do
        [[ "$offered" == *" $option "* ]] || {
            echo "FAIL: after 'gnssctl $command' the completion lacks $option"
            failed=1
        }
    done
done
exit $failed
