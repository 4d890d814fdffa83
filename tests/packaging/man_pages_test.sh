#!/usr/bin/env bash
# man_pages_test.sh MANDIR PROGRAM=PATH...
#
# The man pages built into MANDIR against the programs themselves: each
# PROGRAM's page (PROGRAM.1 or PROGRAM.8) renders without a warning from
# groff, and names every option that PROGRAM --help lists; for gnssctl also
# every option of each command's --help.  A page that falls behind its
# program fails here with the options it lacks.  Registered by
# packaging/man.cmake; exits 77 (skipped) without man or without built pages.
set -u

mandir="$1"
shift
command -v man >/dev/null || { echo "SKIP: man (package man-db) is not installed"; exit 77; }
if ! compgen -G "$mandir/*.[18]" >/dev/null; then
    echo "SKIP: no man pages were built in $mandir (scdoc, package scdoc, is missing)"
    exit 77
fi
export LC_ALL=C.UTF-8
# man-db's seccomp sandbox fails in some containers; the pages are our own.
export MAN_DISABLE_SECCOMP=1

# The options named in a help text: --word or -x after a space, bracket, bar
# or the line's start (so "pseudo-terminal" and "+-2.5" are not options).
options_of() {
    grep -oE -- '(^|[^[:alnum:]-])--?[[:alpha:]][[:alnum:]-]*' | sed -E 's/^[^-]+//' | sort -u
}

# The commands gnssctl --help lists, one per line.
gnssctl_commands() {
    "$1" --help | awk '/^Commands:/ { on = 1; next } on && /^$/ { exit }
                       on && /^  [a-z]/ { print $1 }'
}

failed=0
for arg in "$@"; do
    program="${arg%%=*}"
    path="${arg#*=}"
    page="$(compgen -G "$mandir/$program.[18]" | head -n 1)"
    if [ -z "$page" ]; then
        echo "FAIL: $program has no man page in $mandir"
        failed=1
        continue
    fi

    warnings="$(man --warnings -l "$page" 2>&1 >/dev/null)"
    if [ -n "$warnings" ]; then
        echo "FAIL: ${page##*/} renders with warnings:"
        echo "$warnings"
        failed=1
    fi

    # The rendered text, unhyphenated and on long lines, so that an option is
    # never split; minus signs and hyphens as ASCII.
    text="$(MANROFFOPT=-rHY=0 MANWIDTH=250 man -l "$page" 2>/dev/null | col -b |
        sed 's/\xe2\x88\x92/-/g; s/\xe2\x80\x90/-/g')"
    helps=("")
    [ "$program" = gnssctl ] && mapfile -t -O 1 helps < <(gnssctl_commands "$path")
    for command in "${helps[@]}"; do
        # shellcheck disable=SC2086  # no command: the program's own --help
        help="$("$path" $command --help)" || {
            echo "FAIL: $program $command --help exits with status $?"
            failed=1
            continue
        }
        missing=()
        while IFS= read -r option; do
            grep -qE -- "(^|[^[:alnum:]-])$option([^[:alnum:]-]|\$)" <<<"$text" ||
                missing+=("$option")
        done < <(options_of <<<"$help")
        if [ ${#missing[@]} -ne 0 ]; then
            echo "FAIL: ${page##*/} lacks ${missing[*]} (from $program ${command:+$command }--help)"
            failed=1
        fi
    done
done
exit $failed
