#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows installer's test, run by CI after ./setup.sh package-windows: in a Wine prefix of
# its own it installs build/tessaline-<version>-setup.exe silently, checks the program, its
# DLLs, the licence, the Start menu entry and the uninstall entry, that the install folder holds
# the zip's files byte for byte and the source zip the project's; reads back tessaline.exe's
# version resource, and the icon of the program, the installer and the uninstaller. The same
# installer again repairs a deleted and a damaged file; an uninstall leaves only a data file
# the logger left in its folder. An older build with files this one lacks (made from the zip by
# make-installer.sh), upgraded: its extra files and emptied folders go, the operator's files
# stay, and the uninstall then leaves those alone. Then logging at sign-in: installed with /STARTUP, then with
# /STARTOPTIONS as a script types it, the Startup shortcut runs tessaline.exe with --start and
# those options; refused options change nothing and end the install with exit code 2; an
# upgrade keeps the shortcut; started as a sign-in starts it, the shortcut logs an instrument's
# records from COM1 (a null-modem cable to a pseudo-terminal); the uninstall removes it.
#
#   packaging/windows/check-package.sh [SETUP.exe]   (default: the newest build/tessaline-*-setup.exe)
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/install-missing.sh
# icoutils reads the icons and the version resource; nsis builds the older installer.
install_missing icoutils nsis unzip

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

version=$(basename "$setup")
version=${version#tessaline-}
version=${version%-setup.exe}
# The files the installer installs, as the zip holds them.
ref=$work/zip
unzip -q "$zipfile" -d "$ref"
ref=$(echo "$ref"/tessaline-*)
[ -f "$ref/tessaline.exe" ] || fail "no tessaline.exe in $zipfile"

installed() { # ACTION EXTRA...: the folder holds exactly the zip's files, byte for byte, the
    # uninstaller, the list of installed files and the EXTRA files (relative paths); the list
    # names the zip's files.
    local action=$1 expected actual f
    shift
    expected=$({ (cd "$ref" && find . -type f); printf './%s\n' uninstall.exe installed-files.txt "$@"; } |
        LC_ALL=C sort)
    actual=$(cd "$folder" && find . -type f | LC_ALL=C sort)
    [ "$actual" = "$expected" ] ||
        fail "$action left other files than it should:"$'\n'"$(diff <(echo "$expected") <(echo "$actual") || true)"
    while IFS= read -r f; do
        cmp -s "$ref/$f" "$folder/$f" || fail "$action left $f other than the zip's"
    done < <(cd "$ref" && find . -type f)
    [ "$(tr -d '\r' <"$folder/installed-files.txt" | LC_ALL=C sort)" = \
        "$(cd "$ref" && find . -type f | sed 's|^\./||' | tr / '\\' | LC_ALL=C sort)" ] ||
        fail "after $action the list of installed files is not the zip's"
}
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TessalineSerialData'
uninstall_value() { # NAME: the uninstall entry's value
    wine reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}
uninstall() {
    wine "$folder/uninstall.exe" /S
    # The uninstaller runs a copy of itself and returns at once.
    for _ in $(seq 50); do
        [ ! -f "$folder/uninstall.exe" ] && break
        sleep 0.2
    done
    wineserver -w
}

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
wine reg query "$key" /v UninstallString >/dev/null 2>&1 || fail "no uninstall entry"
# The zip holds what the installer installed.
installed "the install"

# What Explorer and "Apps & features" show: the program's version resource, read back from the
# installed file,
info=$(wrestool -x --raw --type=16 "$folder/tessaline.exe" | perl packaging/windows/read-version.pl) ||
    fail "tessaline.exe carries no readable version resource"
field() { sed -n "s/^$1=//p" <<<"$info"; }
[ "$(field ProductName)" = "Tessaline Serial Data" ] || fail "tessaline.exe's product name: $(field ProductName)"
[ -n "$(field FileDescription)" ] || fail "tessaline.exe has no file description"
for f in ProductVersion FileVersion; do
    [ "$(field $f)" = "$version" ] || fail "tessaline.exe's $f is '$(field $f)', the installer's $version"
done
numbers=$(grep -oE '^[0-9]+(\.[0-9]+){0,3}' <<<"$version")
[[ $(field FILEVERSION) == "$numbers" || $(field FILEVERSION) == "$numbers".* ]] ||
    fail "tessaline.exe's numeric version $(field FILEVERSION) is not $version"
[ -n "$(field CompanyName)" ] || fail "tessaline.exe names no company"
[[ $(field LegalCopyright) == Copyright* ]] || fail "tessaline.exe's copyright: $(field LegalCopyright)"
[[ "$(field LegalCopyright) $(field Comments)" == *GPL-3.0-or-later* ]] ||
    fail "tessaline.exe's version resource does not name its licence"
# the icon of the program, its installer and its uninstaller, each the window's own picture,
icotool -c -b 32 -o "$work/expected.ico" ui/icons/varlin.png
icotool -x -i 1 -o "$work/expected.png" "$work/expected.ico"
for f in "$folder/tessaline.exe" "$setup" "$folder/uninstall.exe"; do
    rm -f "$work/icon.ico" "$work/icon.png"
    wrestool -x --type=14 -o "$work/icon.ico" "$f" 2>/dev/null || true
    icotool -x -i 1 -o "$work/icon.png" "$work/icon.ico" 2>/dev/null || true
    cmp -s "$work/icon.png" "$work/expected.png" || fail "$(basename "$f") does not show the program's icon"
done
# and the uninstall entry's version, publisher, size and icon.
[ "$(uninstall_value DisplayVersion)" = "$version" ] ||
    fail "the uninstall entry's version: $(uninstall_value DisplayVersion)"
[ "$(uninstall_value Publisher)" = "$(field CompanyName)" ] ||
    fail "the uninstall entry's publisher '$(uninstall_value Publisher)' is not tessaline.exe's company"
icon=$(uninstall_value DisplayIcon)
[ "$(winepath -u "${icon%,0}" 2>/dev/null)" -ef "$folder/tessaline.exe" ] || fail "the uninstall entry's icon is $icon"
size=$(($(uninstall_value EstimatedSize))) # kB
apparent=$(du -sk --apparent-size "$ref" | cut -f1)
((size >= apparent && size <= apparent * 11 / 10)) ||
    fail "the uninstall entry gives $size kB; the files take $apparent kB"

# The same installer again repairs: a deleted plugin and a damaged DLL are back as they were.
rm "$folder/platforms/qwindows.dll"
printf 'damaged' >"$folder/Qt6Core.dll"
wine "$setup" /S
wineserver -w
installed "the repair"

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
uninstall
left=$(cd "$folder" && find . -type f | sort)
[ "$left" = "./20261207.txt" ] || fail "the uninstall left: $left"
if wine reg query "$key" >/dev/null 2>&1; then fail "the uninstall entry stayed"; fi
rm "$folder/20261207.txt"

# An upgrade from an older build whose files differ: a top-level file, a file in a folder of its
# own and one in a folder the operator also keeps a file in, which the newer build lacks; and it
# lacks a file the newer one has.
old_stage=$work/old/tessaline-0.0.1
mkdir -p "$work/old"
cp -r "$ref" "$old_stage"
mkdir "$old_stage/oldplugins" "$old_stage/extras"
echo old >"$old_stage/old-readme.txt"
echo old >"$old_stage/oldplugins/qold.dll"
echo old >"$old_stage/extras/notes.txt"
rm "$old_stage/licences/mingw-w64.txt"
packaging/windows/make-installer.sh "$old_stage" 0.0.1 "$work/old-setup.exe"
wine "$work/old-setup.exe" /S
wineserver -w
[ -f "$folder/oldplugins/qold.dll" ] && [ ! -e "$folder/licences/mingw-w64.txt" ] ||
    fail "the older build did not install its own files"
[ "$(uninstall_value DisplayVersion)" = 0.0.1 ] ||
    fail "the older build's uninstall entry gives $(uninstall_value DisplayVersion)"
echo "ST,+0012.345 g" >"$folder/20261207.txt"
echo "the operator's" >"$folder/extras/operator.txt"
wine "$setup" /S
wineserver -w
installed "the upgrade" 20261207.txt extras/operator.txt
[ ! -e "$folder/oldplugins" ] || fail "the upgrade left the older build's folder oldplugins"
[ "$(uninstall_value DisplayVersion)" = "$version" ] ||
    fail "after the upgrade the uninstall entry gives $(uninstall_value DisplayVersion)"
[ "$(cat "$folder/extras/operator.txt")" = "the operator's" ] || fail "the upgrade changed the operator's file"
uninstall
left=$(cd "$folder" && find . | LC_ALL=C sort | tr '\n' ' ')
[ "$left" = ". ./20261207.txt ./extras ./extras/operator.txt " ] ||
    fail "the uninstall after the upgrade left: $left"
rm -r "$folder/20261207.txt" "$folder/extras"

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

uninstall
[ ! -e "$startup_lnk" ] || fail "the uninstall left the Startup shortcut"
[ ! -e "$folder" ] || fail "the uninstall left: $(cd "$folder" && find . | sort)"
echo "Windows installer checked: $setup"
