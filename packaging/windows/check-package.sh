#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows installer's test, run by CI after ./setup.sh package-windows: in a Wine prefix of
# its own it installs build/tessaline-<version>-setup.exe silently, checks the program, its
# DLLs, the licence, the Start menu entry and the uninstall entry, checks the zip holds the same
# files and the source zip the project's, then uninstalls and checks that only a data file the
# logger left in its folder stays.
set -euo pipefail
cd "$(dirname "$0")/../.."

setup=$(ls -t build/tessaline-*-setup.exe | head -n 1)
zipfile=${setup%-setup.exe}-windows-x64.zip
[ -f "$zipfile" ] || { echo "no $zipfile beside $setup" >&2; exit 1; }
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d)
export WINEPREFIX
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
wineboot -i >/dev/null 2>&1

fail() {
    echo "check-package (Windows): $*" >&2
    exit 1
}

wine "$setup" /S
wineserver -w
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
echo "Windows installer checked: $setup"
