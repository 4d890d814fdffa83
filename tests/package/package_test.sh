#!/usr/bin/env bash
# The Debian package, installed: ./x test runs this (as root, on a machine
# where the package is not installed) with the .deb that ./x package built.
#
#   tests/package/package_test.sh build/package/gnss-modem-stack_VERSION_ARCH.deb
#
# It installs the package with dpkg -i, checks what the installation did
# (group, folders, conffile, units enabled), that every installed program
# starts, that the installed gnssd serves the simulated modem from the
# installed files only, that the installed units verify and the installed man
# pages render, that lintian finds nothing, and that removing and purging the
# package leave only what each should.  Units, man pages and completion are
# checked when the package has them; a check that needs systemd running as
# PID 1 is skipped, and says so.  It purges the package at the end, also when
# a check fails.
set -uo pipefail

DEB="${1:?usage: package_test.sh PACKAGE.deb}"
PACKAGE=gnss-modem-stack
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
FAILED=()
WORK="$(mktemp -d)"

pass() { printf '    ok   %s\n' "$*"; }
fail() { printf '    FAIL %s\n' "$*"; FAILED+=("$1"); }
skip() { printf '    SKIPPED %s\n' "$*"; }
step() { printf '\033[1m==> package test: %s\033[0m\n' "$*"; }

installed() { dpkg-query -W -f='${db:Status-Status}' "$PACKAGE" 2>/dev/null; }

cleanup() {
    [ -n "$(installed)" ] && [ "$(installed)" != "not-installed" ] &&
        dpkg --purge "$PACKAGE" >/dev/null 2>&1
    rm -rf "$WORK"
}

if [ "$(id -u)" -ne 0 ]; then
    echo "package test: installing a package needs root" >&2
    exit 2
fi
case "$(installed)" in
    ""|not-installed|config-files) ;;
    *) echo "package test: $PACKAGE is installed here already; it is left alone" >&2
       exit 2 ;;
esac
trap cleanup EXIT

step "dpkg -i $(basename "$DEB")"
if ! dpkg -i "$DEB" >"$WORK/dpkg-i.log" 2>&1; then
    cat "$WORK/dpkg-i.log"
    fail "dpkg -i" "the package does not install"
    exit 1
fi
pass "installed"
mapfile -t FILES < <(dpkg -L "$PACKAGE" | grep -vx '/\.')
mapfile -t CONFFILES < <(dpkg-query -W -f='${Conffiles}\n' "$PACKAGE" | awk 'NF { print $1 }')
# The installed files of one kind: installed_files REGEX
installed_files() { printf '%s\n' "${FILES[@]}" | grep -E "$1" | while read -r f; do
    [ -f "$f" ] && echo "$f"; done; }

step "what installing did"
if getent group gnss >/dev/null; then pass "the gnss group exists"; else fail group "no gnss group"; fi
for dir in /run/gnss /var/log/gnss; do
    got="$(stat -c '%a %U %G' "$dir" 2>/dev/null)"
    if [ "$got" = "750 root gnss" ]; then pass "$dir is 750 root gnss"
    else fail "$dir" "$dir is '${got:-missing}', not 750 root gnss"; fi
done
if printf '%s\n' "${CONFFILES[@]}" | grep -qx /etc/gnss/GNSSDriverSUPLInfo-DTD.xml; then
    pass "/etc/gnss/GNSSDriverSUPLInfo-DTD.xml is a conffile"
else
    fail conffile "/etc/gnss/GNSSDriverSUPLInfo-DTD.xml is not a conffile (conffiles: ${CONFFILES[*]:-none})"
fi

# A clean environment, away from the source tree: the installed programs get
# nothing of the build's (no LD_LIBRARY_PATH, no build folders on the PATH).
run_clean() { (cd "$WORK" && env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$WORK" "$@"); }

step "every installed program starts"
mapfile -t PROGRAMS < <(printf '%s\n' "${FILES[@]}" | grep -E '^/usr/s?bin/[^/]+$')
[ ${#PROGRAMS[@]} -ge 4 ] || fail programs "only ${#PROGRAMS[@]} programs installed: ${PROGRAMS[*]}"
VERSION="$(dpkg-query -W -f='${Version}' "$PACKAGE")"
for program in "${PROGRAMS[@]}"; do
    name="$(basename "$program")"
    if run_clean "$name" --help >"$WORK/out" 2>&1 && [ -s "$WORK/out" ]; then
        pass "$name --help"
    else
        fail "$name --help" "$name --help: $(head -c 300 "$WORK/out")"
    fi
    # A program answers --version once its help lists it as an option.
    if ! grep -qE -- '^ +(-[A-Za-z], )?--version( |$)' "$WORK/out"; then
        skip "$name --version: $name --help lists no --version"
    elif run_clean "$name" --version >"$WORK/out" 2>&1 && grep -qF "$VERSION" "$WORK/out"; then
        pass "$name --version"
    else
        fail "$name --version" "$name --version does not print $VERSION: $(head -c 300 "$WORK/out")"
    fi
done

step "the installed gnssd serves the simulated modem from the installed files"
mkfifo "$WORK/ready"
# A modem with a SIM of the operator table's network 001-01: the first fix
# makes the driver read the table beside its module (an information line,
# so level 4).
(cd "$WORK" && exec env -i PATH=/usr/bin:/bin gnssd --foreground \
    --modem sim:chip=rxa7300,imsi=001010123456789,ttff=1 --socket "$WORK/gnss.sock" \
    --log-file "$WORK/gnssd.log" --log-level 4 --ready-fd 3 3>"$WORK/ready") &
GNSSD=$!
read -r line <"$WORK/ready" || line=""
if [ "$line" != "READY $WORK/gnss.sock" ]; then
    fail gnssd "gnssd did not come up: $(tail -n 5 "$WORK/gnssd.log" 2>/dev/null)"
    wait "$GNSSD"
else
    ok=1
    for command in info "location on" fix "location off"; do
        # shellcheck disable=SC2086  # the command's words
        if ! run_clean gnssctl --socket "$WORK/gnss.sock" $command >"$WORK/out" 2>&1; then
            fail "gnssctl $command" "gnssctl $command: $(head -c 300 "$WORK/out")"
            ok=0
        fi
    done
    [ "$ok" = 1 ] && pass "gnssctl info, location on, fix, location off"
    # Every file gnssd has mapped is an installed one or the system's.
    grep -oE ' /[^ ]+$' "/proc/$GNSSD/maps" | sort -u | sed 's/^ //' >"$WORK/maps"
    module_dir="$(dirname "$(printf '%s\n' "${FILES[@]}" | grep -m1 '/veruzuvedazedeva\.so$')")"
    if grep -qF "$ROOT" "$WORK/maps"; then
        fail "gnssd maps" "gnssd maps files of the source tree: $(grep -F "$ROOT" "$WORK/maps")"
    elif ! grep -qx "$module_dir/veruzuvedazedeva.so" "$WORK/maps" ||
         ! grep -q "^$module_dir/libgnss_platform\.so\." "$WORK/maps"; then
        fail "gnssd maps" "gnssd has not mapped the installed module and platform library:" \
            "$(cat "$WORK/maps")"
    else
        pass "gnssd runs the module and the platform library of $module_dir"
    fi
    if grep -qF "DTD xml Path=$module_dir/GNSSDriverSUPLInfo-DTD.xml" "$WORK/gnssd.log" &&
       grep -qE 'SUPLConfiguration::ReadXML <- hr=0x[01]$' "$WORK/gnssd.log" &&
       ! grep -q 'Invalid XML File' "$WORK/gnssd.log"; then
        pass "the driver read the operator table beside its module (the /etc/gnss conffile)"
    else
        fail "SUPL table" "the driver did not read $module_dir/GNSSDriverSUPLInfo-DTD.xml:" \
            "$(grep -E 'XMLCFG|Invalid XML' "$WORK/gnssd.log" | head -n 5)"
    fi
    kill -TERM "$GNSSD"
    if wait "$GNSSD"; then pass "gnssd stopped on SIGTERM with status 0"
    else fail "gnssd exit" "gnssd exited with status $? on SIGTERM"; fi
fi

step "systemd units"
mapfile -t UNITS < <(installed_files '^(/usr)?/lib/systemd/system/[^/]+\.(service|socket|path|timer|target)$')
if [ ${#UNITS[@]} -eq 0 ]; then
    skip "systemd-analyze verify: the package installs no units (no packaging/systemd.cmake)"
else
    # A template unit is verified as the instance the udev rule starts.
    mkdir -p "$WORK/units"
    VERIFY=()
    for unit in "${UNITS[@]}"; do
        name="$(basename "$unit")"
        if [[ "$name" == *@.* ]]; then
            cp "$unit" "$WORK/units/${name/@./@gnss-modem-at.}"
            VERIFY+=("$WORK/units/${name/@./@gnss-modem-at.}")
        else
            VERIFY+=("$unit")
        fi
    done
    if run_clean systemd-analyze verify "${VERIFY[@]}" >"$WORK/out" 2>&1 && [ ! -s "$WORK/out" ]; then
        pass "systemd-analyze verify ${VERIFY[*]##*/}"
    else
        fail "systemd-analyze verify" "$(cat "$WORK/out")"
    fi
    for unit in "${UNITS[@]}"; do
        name="$(basename "$unit")"
        grep -q '^\[Install\]' "$unit" || continue
        if [[ "$name" == *@.* ]]; then
            skip "$name is a template: its instances start per modem (the udev rule starts gnssd@gnss-modem-at)"
            continue
        fi
        # systemctl reads the links under /etc/systemd/system without systemd.
        if systemctl is-enabled --quiet "$name"; then pass "$name is enabled"
        else fail "$name enabled" "$name has an [Install] section but the package did not enable it"; fi
    done
    if [ -d /run/systemd/system ]; then
        for unit in "${UNITS[@]}"; do
            name="$(basename "$unit")"
            grep -q '^\[Install\]' "$unit" || continue
            [[ "$name" == *@.* ]] && continue
            if systemctl is-active --quiet "$name"; then pass "$name is running"
            else fail "$name running" "$name is not running: $(systemctl status "$name" 2>&1 | tail -n 5)"; fi
        done
        if run_clean gnssctl info >"$WORK/out" 2>&1; then pass "gnssctl info on the service's socket"
        else fail "service socket" "gnssctl info: $(head -c 300 "$WORK/out")"; fi
    else
        skip "starting the units and gnssctl info on their socket: systemd is not running" \
            "(PID 1 is $(cat /proc/1/comm))"
    fi
fi

step "man pages and completion"
mapfile -t PAGES < <(installed_files '^/usr/share/man/')
if [ ${#PAGES[@]} -eq 0 ]; then
    skip "man --warnings: the package installs no man pages (no packaging/man.cmake)"
fi
for page in "${PAGES[@]}"; do
    if LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >/dev/null 2>"$WORK/out" &&
       [ ! -s "$WORK/out" ]; then
        pass "man --warnings -l ${page#/usr/share/man/}"
    else
        fail "man ${page##*/}" "$page: $(head -n 5 "$WORK/out")"
    fi
done
for completion in $(installed_files '^/usr/share/bash-completion/completions/'); do
    if bash -n "$completion" 2>"$WORK/out"; then pass "bash -n ${completion##*/}"
    else fail "completion ${completion##*/}" "$(cat "$WORK/out")"; fi
done

step "lintian"
changes="${DEB%_*.deb}_$(dpkg --print-architecture).changes"
[ -f "$changes" ] || changes="$DEB"
suppress=()
if [ ${#PAGES[@]} -eq 0 ]; then
    suppress=(--suppress-tags no-manual-page)
    skip "lintian's no-manual-page: the package has no man pages yet (no packaging/man.cmake)"
fi
if lintian --fail-on error,warning "${suppress[@]}" "$changes" >"$WORK/out" 2>&1; then
    pass "lintian $(basename "$changes")${suppress[*]:+ (${suppress[*]})}"
    sed 's/^/         /' "$WORK/out"
else
    fail lintian "$(cat "$WORK/out")"
fi

step "dpkg --remove leaves only the configuration; --purge leaves nothing"
# Folders are left to dpkg (it keeps those that others use, and /lib is a
# link on a merged /usr); what is in them is checked file by file, and the
# stack's own folder must go.
private_dir="$(dirname "$(printf '%s\n' "${FILES[@]}" | grep -m1 '/gnss/bin/gnssd$')")"
private_dir="${private_dir%/bin}"
dpkg --remove "$PACKAGE" >"$WORK/out" 2>&1 || fail "dpkg --remove" "$(cat "$WORK/out")"
left=()
for f in "${FILES[@]}" "$private_dir"; do
    [ -e "$f" ] || [ -L "$f" ] || continue
    printf '%s\n' "${CONFFILES[@]}" | grep -qx "$f" && continue
    [ -d "$f" ] && [ "$f" != "$private_dir" ] && continue
    left+=("$f")
done
if [ ${#left[@]} -eq 0 ]; then pass "after --remove only the conffiles are left"
else fail "dpkg --remove" "left after --remove: ${left[*]}"; fi
for f in "${CONFFILES[@]}"; do
    [ -e "$f" ] || fail "dpkg --remove" "--remove took the conffile $f"
done
dpkg --purge "$PACKAGE" >"$WORK/out" 2>&1 || fail "dpkg --purge" "$(cat "$WORK/out")"
left=()
for f in "${FILES[@]}" /etc/gnss /var/log/gnss; do
    { [ -e "$f" ] || [ -L "$f" ]; } || continue
    [ -d "$f" ] && [[ "$f" != /etc/gnss && "$f" != /var/log/gnss ]] && continue
    left+=("$f")
done
if [ ${#left[@]} -eq 0 ]; then pass "after --purge nothing is left"
else fail "dpkg --purge" "left after --purge: ${left[*]}"; fi

if [ ${#FAILED[@]} -ne 0 ]; then
    step "FAILED: ${FAILED[*]}"
    exit 1
fi
step "passed"
