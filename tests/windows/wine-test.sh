#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs one Windows test program under Wine: CMake's emulator for the Windows build's tests.
# Each run gets a Wine prefix of its own, copied from one made once per build folder, so tests
# may run side by side. With TESSALINE_NULL_MODEM set (the bridge's path), a null-modem cable
# joins COM1 (the logger's) to COM2 (the instrument's) first; the test finds the bridge's
# control folder in TESSALINE_CABLE_CONTROL.
#
#   wine-test.sh PROGRAM.exe [ARGUMENTS...]
#
# TESSALINE_WINE_DLLS: the folders of the DLLs the program needs, separated by ';'.
set -euo pipefail
program=$1
shift
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine reads these as Windows paths: the build machine's root is drive Z:.
WINEPATH=
IFS=';' read -ra dlls <<<"${TESSALINE_WINE_DLLS:-}"
for dir in "${dlls[@]}"; do
    WINEPATH+="${WINEPATH:+;}Z:$dir"
done
export WINEPATH
here=$(cd "$(dirname "$program")" && pwd)
template=$here/wine-prefix
# Made once. A Wine that fails to start is told of and tried again from nothing: once in CI the
# first test, which makes the prefix, failed in a first start's time with no word at all.
make_template() {
    rm -rf "$template"
    WINEPREFIX=$template wineboot -i &&
        # Wine hands no QT_ variable of the build machine on: the tests' platform (offscreen,
        # from CTest) goes in as the account's own environment.
        WINEPREFIX=$template wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM \
            /d "${QT_QPA_PLATFORM:-offscreen}" /f &&
        WINEPREFIX=$template wineserver -w
}
(
    flock 9
    attempt=1
    until [ -f "$template/made" ]; do
        if make_template >"$here/wine-prefix.log" 2>&1; then
            touch "$template/made"
        else
            echo "wine-test.sh: making the Wine prefix failed (attempt $attempt):" >&2
            tail -n 20 "$here/wine-prefix.log" >&2
            WINEPREFIX=$template wineserver -k >/dev/null 2>&1 || true
            [ $((attempt += 1)) -le 3 ] || exit 1
        fi
    done
) 9>"$here/wine-prefix.lock"

work=$(mktemp -d)
bridge=
cleanup() {
    WINEPREFIX=$work/prefix wineserver -k >/dev/null 2>&1 || true
    [ -n "$bridge" ] && kill "$bridge" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cp -a "$template" "$work/prefix"
export WINEPREFIX=$work/prefix

if [ -n "${TESSALINE_NULL_MODEM:-}" ]; then
    mkdir "$work/cable"
    exec 8< <(exec "$TESSALINE_NULL_MODEM" "$work/cable")
    bridge=$!
    read -r com1 <&8
    read -r com2 <&8
    # Wine maps its ports when it starts: the mapping goes in before the test's Wine does.
    wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$com1" /f >/dev/null
    wine reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$com2" /f >/dev/null
    wineserver -w
    export TESSALINE_CABLE_CONTROL="Z:${work//\//\\}\\cable"
fi
# Without a console of its own a Qt program under Wine logs to the debugger, not to stdout:
# the test's report goes through a file.
status=0
wine "$program" "$@" -o "$work/report.txt,txt" || status=$?
cat "$work/report.txt" 2>/dev/null || echo "no report from $program"
[ "$status" -eq 0 ] || echo "wine-test.sh: $program ended with status $status" >&2
exit $status
