#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the installer of a staged program folder with tessaline.nsi: its file lists, the list of
# installed files it keeps beside the program (so that a later version knows what to remove)
# and its icon, taken from the staged tessaline.exe so that the three show the same picture.
# package.sh calls it; so does the installer's check, for an older build to upgrade from.
#
#   packaging/windows/make-installer.sh STAGE VERSION SETUP.exe
set -euo pipefail

fail() {
    echo "make-installer: $*" >&2
    exit 1
}

[ $# -eq 3 ] || fail "usage: $0 STAGE VERSION SETUP.exe"
here=$(cd "$(dirname "$0")" && pwd)
stage=$(cd "$1" && pwd) || fail "no folder $1"
version=$2
setup=$3
[[ $version =~ ^[0-9][0-9A-Za-z.+~-]*$ ]] || fail "unusable version '$version'"
[ -f "$stage/tessaline.exe" ] || fail "no tessaline.exe in $stage"
# The name the installer keeps the list under; tessaline.nsi reads and writes it.
manifest=installed-files.txt
[ ! -e "$stage/$manifest" ] || fail "$stage holds a file named $manifest"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

icon=$work/tessaline.ico
wrestool -x --type=14 -o "$icon" "$stage/tessaline.exe" 2>/dev/null
[ -s "$icon" ] || fail "tessaline.exe in $stage carries no icon"

# Windows paths relative to the install folder, in a stable order.
files() { (cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr / '\\'); }
# NSIS reads $ as the start of a variable.
nsis_quote() { printf '%s' "${1//\$/\$\$}"; }

files_nsh=$work/files.nsh
{
    echo '!macro TESSALINE_INSTALL_FILES'
    (cd "$stage" && find . -type d | sed 's|^\./\{0,1\}||' | LC_ALL=C sort) | while IFS= read -r d; do
        echo "  SetOutPath \"\$INSTDIR${d:+\\$(nsis_quote "${d//\//\\}")}\""
        (cd "$stage/${d:-.}" && find . -maxdepth 1 -type f | sed 's|^\./||' | LC_ALL=C sort) |
            while IFS= read -r f; do echo "  File \"$stage/${d:+$d/}$f\""; done
    done
    echo '  SetOutPath "$INSTDIR"'
    echo '!macroend'

    echo '!macro TESSALINE_UNINSTALL_FILES'
    files | while IFS= read -r f; do echo "  Delete \"\$INSTDIR\\$(nsis_quote "$f")\""; done
    # Deepest first; RMDir without /r leaves a folder that still holds anything.
    (cd "$stage" && find . -mindepth 1 -type d | sed 's|^\./||' | LC_ALL=C sort -r) | while IFS= read -r d; do
        echo "  RMDir \"\$INSTDIR\\$(nsis_quote "${d//\//\\}")\""
    done
    echo '!macroend'

    echo "!define MANIFEST \"$manifest\""
    # The list of what this installer installs, one path a line, for the next install to read.
    echo '!macro TESSALINE_WRITE_MANIFEST'
    echo '  FileOpen $0 "$INSTDIR\${MANIFEST}" w'
    files | while IFS= read -r f; do echo "  FileWrite \$0 \"$(nsis_quote "$f")\$\\r\$\\n\""; done
    echo '  FileClose $0'
    echo '!macroend'

    # $R0: a path relative to the install folder. $R1: 1 if this installer installs that file,
    # else 0. NSIS compares without regard to case, as Windows names files.
    echo 'Function TessalineIsCurrentFile'
    echo '  StrCpy $R1 1'
    files | while IFS= read -r f; do echo "  StrCmp \$R0 \"$(nsis_quote "$f")\" current"; done
    echo '  StrCpy $R1 0'
    echo '  current:'
    echo 'FunctionEnd'
} >"$files_nsh"

# Windows's own version fields take four numbers: those the version starts with.
numbers=$(echo "$version" | grep -oE '^[0-9]+(\.[0-9]+){0,3}')
while [ "$(echo "$numbers" | tr -cd . | wc -c)" -lt 3 ]; do numbers=$numbers.0; done

makensis -V2 -NOCD \
    -DVERSION="$version" -DVERSION_NUMBERS="$numbers" -DSTAGE="$stage" -DFILES="$files_nsh" \
    -DICON="$icon" -DOUTFILE="$setup" -DSIZE_KB="$(du -sk "$stage" | cut -f1)" "$here/tessaline.nsi"
[ -f "$setup" ] || fail "makensis wrote no $setup"
