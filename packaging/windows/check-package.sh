#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows installer's test, run by CI after ./setup.sh package-windows: in a Wine prefix of
# its own it installs build/tessaline-<version>-setup.exe silently, checks the program, its
# DLLs, the licence, the Start menu entry and the uninstall entry, checks the zip holds the same
# files and the source zip the project's, then uninstalls and checks that only a data file the
# logger left in its folder stays. Then logging at sign-in: installed with /STARTUP, then with
# /STARTOPTIONS as a script types it, the Startup shortcut runs tessaline.exe with --start and
# those options; refused options change nothing and end the install with exit code 2; an
# upgrade keeps the shortcut; started as a sign-in starts it, the shortcut logs an instrument's
# records from COM1 (a null-modem cable to a pseudo-terminal); the uninstall removes it.
#
#   packaging/windows/check-package.sh [SETUP.exe]   (default: the newest build/tessaline-*-setup.exe)
set -euo pipefail
cd "$(dirname "$0")/../.."

setup=${1:-$(ls -t build/tessaline-*-setup.exe | head -n 1)}
setup=$(realpath "$setup")
zipfile=${setup%-setup.exe}-windows-x64.zip
[ -f "$zipfile" ] || { echo "no $zipfile beside $setup" >&2; exit 1; }
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d)
export WINEPREFIX
work=$(mktemp -d)
bridge=
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    [ -n "$bridge" ] && kill "$bridge" 2>/dev/null
    rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT
wineboot -i >/dev/null 2>&1

fail() {
    echo "check-package (Windows): $*" >&2
    exit 1
}

# Installed for every user, so the Startup shortcut is the common one.
startup_lnk="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/StartUp/Tessaline Serial Data.lnk"

wine "$setup" /S
wineserver -w
[ ! -e "$startup_lnk" ] || fail "a plain install set up logging at sign-in"
folder="$WINEPREFIX/drive_c/Program Files/Tessaline Serial Data"
for f in tessaline.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6PrintSupport.dll \
    platforms/qwindows.dll libstdc++-6.dll LICENSE.txt uninstall.exe; do
    [ -f "$folder/$f" ] || fail "$f was not installed"
done
[ -f "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tessaline Serial Data.lnk" ] ||
    fail "no Start menu entry"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TessalineSerialData'
wine reg query "$key" /v UninstallString >/dev/null 2>&1 || fail "no uninstall entry"

# The zip holds what the installer installed, its uninstaller aside.
unpacked=$(mktemp -d)
unzip -q "$zipfile" -d "$unpacked"
diff <(cd "$unpacked"/tessaline-* && find . -type f | sort) \
    <(cd "$folder" && find . -type f ! -name uninstall.exe | sort) ||
    fail "the zip and the installation differ"
rm -rf "$unpacked"

# The licence notes send readers to a source zip beside the installer: it must be there and
# hold every file of the project and the QCustomPlot compiled in.
sourcezip=${setup%-setup.exe}-source.zip
[ -f "$sourcezip" ] || fail "no $sourcezip beside $setup"
grep -q "$(basename "$sourcezip")" "$folder/README-licences.txt" || fail "the licence notes do not name the source zip"
grep -q 'snapshot.debian.org/package/qt6-base/' "$folder/README-licences.txt" || fail "the licence notes name no Qt source"
unpacked=$(mktemp -d)
unzip -q "$sourcezip" -d "$unpacked"
src=$(echo "$unpacked"/tessaline-*-source)
[ -f "$src/qcustomplot/qcustomplot.cpp" ] || fail "the source zip lacks QCustomPlot"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    diff <(git ls-files | sort) <(cd "$src/tessaline" && find . -type f | sed 's|^\./||' | sort) ||
        fail "the source zip and the project's files differ"
fi
rm -rf "$unpacked"

echo "ST,+0012.345 g" >"$folder/20261207.txt" # a data file of the operator's
wine "$folder/uninstall.exe" /S
# The uninstaller runs a copy of itself and returns at once.
for _ in $(seq 50); do
    [ ! -f "$folder/uninstall.exe" ] && break
    sleep 0.2
done
wineserver -w
left=$(cd "$folder" && find . -type f | sort)
[ "$left" = "./20261207.txt" ] || fail "the uninstall left: $left"
if wine reg query "$key" >/dev/null 2>&1; then fail "the uninstall entry stayed"; fi
rm "$folder/20261207.txt"

# Logging at sign-in.
exe='C:\Program Files\Tessaline Serial Data\tessaline.exe'
shortcut_is() { # ARGUMENTS: the Startup shortcut runs the installed logger with exactly these
    local fields
    [ -f "$startup_lnk" ] || fail "no Startup shortcut"
    fields=$(perl packaging/windows/read-shortcut.pl "$startup_lnk") || fail "unreadable Startup shortcut"
    [ "$fields" = "target=$exe"$'\n'"arguments=$1"$'\n'"directory=${exe%\\*}" ] ||
        fail "the Startup shortcut runs, where '$exe' with '$1' was asked for:"$'\n'"$fields"
}
wine "$setup" /S /STARTUP
wineserver -w
shortcut_is "--start"
# As typed at a command prompt: Wine would put quotes around a whole argument with spaces.
install_cmd() { # OPTIONS: installs with /STARTOPTIONS='OPTIONS' through cmd; its exit code
    local status=0
    printf '@"%s" /S /STARTOPTIONS='"'%s'"'\r\n' "$(winepath -w "$setup")" "$1" >"$work/install.cmd"
    wine cmd /c "$(winepath -w "$work/install.cmd")" || status=$?
    wineserver -w
    return $status
}
mkdir "$WINEPREFIX/drive_c/Lab Data"
options='--port COM1 --baud 19200 --folder "C:\Lab Data"'
install_cmd "$options" || fail "the install with /STARTOPTIONS='$options' failed"
shortcut_is "--start $options"
status=0
install_cmd '--port COM1 --baud 12' || status=$?
[ $status -eq 2 ] || fail "an install with a refused option ended with exit code $status, not 2"
shortcut_is "--start $options"
wine "$setup" /S
wineserver -w
shortcut_is "--start $options"

# Opened as Explorer opens each Startup item at sign-in (Wine's own sign-in, wineboot, runs only
# the account's Startup folder, not the common one), it logs what an instrument sends on COM1.
g++ -std=c++20 -O2 -o "$work/null-modem" tests/windows/null_modem.cpp -lutil
mkdir "$work/cable"
exec 8< <(exec "$work/null-modem" "$work/cable")
bridge=$!
read -r com1 <&8
read -r com2 <&8
# Wine maps its ports when it starts.
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$com1" /f >/dev/null
wineserver -w
wine start "$(winepath -w "$startup_lnk")"
data="$WINEPREFIX/drive_c/Lab Data"
exec 7<>"$com2"
# A balance prints on: the logger drops what comes before it is in step, then writes each line.
for _ in $(seq 60); do
    printf 'ST,+0012.345 g\r' >&7
    sleep 0.5
    grep -qsxF $'ST,+0012.345 g\r' "$data"/*.txt && break
done
exec 7>&-
grep -qsxF $'ST,+0012.345 g\r' "$data"/*.txt || fail "the Startup shortcut's logger wrote no record to C:\Lab Data"
wineserver -k || true
wineserver -w

wine "$folder/uninstall.exe" /S
for _ in $(seq 50); do
    [ ! -f "$folder/uninstall.exe" ] && break
    sleep 0.2
done
wineserver -w
[ ! -e "$startup_lnk" ] || fail "the uninstall left the Startup shortcut"
[ ! -e "$folder" ] || fail "the uninstall left: $(cd "$folder" && find . | sort)"
echo "Windows installer checked: $setup"
