#!/usr/bin/env bash
# versions_test.sh VERSION PROGRAM=PATH...
#
# Each PROGRAM --version exits 0 and prints "PROGRAM VERSION" and nothing
# else: gnssd the driver's version, the others the package version, both the
# project's VERSION.
set -u

version="$1"
shift
failed=0
for arg in "$@"; do
    program="${arg%%=*}"
    out="$("${arg#*=}" --version 2>&1)"
    status=$?
    if [ $status -ne 0 ] || [ "$out" != "$program $version" ]; then
        echo "FAIL: $program --version exits with $status and prints '$out'," \
             "expected status 0 and '$program $version'"
        failed=1
    fi
done
exit $failed
