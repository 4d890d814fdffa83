#!/usr/bin/env bash
# check_units.sh units|udev UNIT_DIR RULES
#
# units: systemd-analyze verify on an instance of every unit template (an
#   instance of the name the udev rule starts, for gnssd@), with no warning
#   allowed, and each ExecStart's options accepted by the program itself.
# udev: udevadm verify on the rules, where this udev has it.
# Exit status 77 skips a check whose tool is missing here.
set -u
what="$1" units="$2" rules="$3"
status=0

fail() {
    echo "FAIL: $*" >&2
    status=1
}

# The instance the rule starts must be the link the rule makes: the unit
# opens /dev/%i.
wanted=$(grep -o 'SYSTEMD_WANTS}+="gnssd@[^"]*\.service"' "$rules" | sed 's/.*"gnssd@\(.*\)\.service"/\1/')
link=$(grep -o 'SYMLINK+="[^"]*"' "$rules" | sed 's/SYMLINK+="\(.*\)"/\1/')

case "$what" in
units)
    command -v systemd-analyze >/dev/null || { echo "SKIP: no systemd-analyze (package systemd)"; exit 77; }
    [ -n "$wanted" ] || fail "the rule starts no gnssd@ instance"
    [ "$wanted" = "$link" ] || fail "the rule starts gnssd@$wanted.service, but its link is /dev/$link"
    cd "$units" || exit 1
    for template in *@.service; do
        instance="${template%@.service}@${wanted:-ttyACM0}.service"
        # verify loads the templates beside the instance named; --man=no:
        # the man pages come with the package, not with this build.
        out=$(systemd-analyze verify --man=no "$instance" 2>&1) || fail "$instance: verify failed"
        [ -z "$out" ] || fail "$instance: $out"
        # The service's command line, with its specifiers and variables
        # resolved the way systemd would for this instance, and --help
        # after it: the program parses every option before it acts on help.
        line=$(sed -n 's/^ExecStart=//p' "$template")
        line="${line//%i/${wanted:-ttyACM0}}"
        options=$(sed -n 's/^Environment="\{0,1\}GNSSFEED_OPTIONS=\([^"]*\)"\{0,1\}$/\1/p' "$template")
        line="${line//\$GNSSFEED_OPTIONS/$options}"
        line="${line//\$GNSSD_OPTIONS/}"
        # shellcheck disable=SC2086
        $line --help >/dev/null 2>"$units/$template.err" ||
            fail "$template: the program refuses its ExecStart: $(cat "$units/$template.err")"
    done
    ;;
udev)
    command -v udevadm >/dev/null || {
        echo "SKIP: no udevadm here (package udev); 'udevadm test' would need the modem's device anyway"
        exit 77
    }
    udevadm verify --help >/dev/null 2>&1 || {
        echo "SKIP: this udevadm has no 'verify' (udev 254 and later); 'udevadm test' needs the device"
        exit 77
    }
    udevadm verify "$rules" || fail "udevadm verify"
    ;;
esac
exit "$status"
