#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Packages the Windows build: stages tessaline.exe with the DLLs and Qt plugins it loads and the
# licences that come with them, then builds an installer and a zip of the same folder.
#
#   packaging/windows/package.sh BUILD_DIR QT_DIR OUT_DIR
#
# BUILD_DIR holds tessaline.exe (and any DLL the build made beside it); QT_DIR is the Qt for
# Windows that tools/build-qt-windows.sh prints. The version is TESSALINE_VERSION if set, else
# CMAKE_PROJECT_VERSION from BUILD_DIR/CMakeCache.txt. Writes, in OUT_DIR,
# tessaline-<version>-setup.exe, tessaline-<version>-windows-x64.zip and the source they were
# built from, tessaline-<version>-source.zip, which goes out beside them.
# Run as root on Debian 12 (it installs what it lacks).
set -euo pipefail

fail() {
    echo "package-windows: $*" >&2
    exit 1
}

[ $# -eq 3 ] || fail "usage: $0 BUILD_DIR QT_DIR OUT_DIR"
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build_dir=$(cd "$1" && pwd) || fail "no folder $1"
qt_dir=$(cd "$2" && pwd) || fail "no folder $2"
mkdir -p "$3"
out_dir=$(cd "$3" && pwd)

. "$top/tools/install-missing.sh"
# libwine: its Windows DLLs are what counts as part of the system below. icoutils: the
# installer's icon is read out of tessaline.exe.
install_missing nsis zip binutils-mingw-w64-x86-64 gcc-mingw-w64-x86-64-posix-runtime \
    mingw-w64-x86-64-dev libwine icoutils

mingw=x86_64-w64-mingw32
exe=$build_dir/tessaline.exe
[ -f "$exe" ] || fail "$exe is missing: build the Windows program first"

version=${TESSALINE_VERSION:-}
if [ -z "$version" ]; then
    [ -f "$build_dir/CMakeCache.txt" ] || fail "no $build_dir/CMakeCache.txt and no TESSALINE_VERSION"
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
fi
# It ends up in file names and in the installer script's defines.
[[ $version =~ ^[0-9][0-9A-Za-z.+~-]*$ ]] || fail "unusable version '$version'"

gcc_runtime=$(dirname "$($mingw-gcc-posix -print-libgcc-file-name 2>/dev/null)" 2>/dev/null || true)
[ -d "$gcc_runtime" ] || gcc_runtime=/usr/lib/gcc/$mingw/12-posix
# The build's own folder first, so a DLL it made wins over one of the same name elsewhere.
search=("$build_dir" "$qt_dir/bin" "$gcc_runtime" "/usr/$mingw/lib")

wine_dlls=$(find /usr/lib -maxdepth 3 -type d -path '*/wine/x86_64-windows' -print -quit 2>/dev/null || true)
[ -n "$wine_dlls" ] || fail "no Wine DLL folder to tell system DLLs from others"
# API sets are names Windows's loader maps to its own DLLs (Wine 8 keeps no files for them).
# Wine also carries Microsoft's redistributable runtimes, which Windows itself may lack.
is_system() {
    local name=${1,,}
    case $name in
    api-ms-win-* | ext-ms-win-*) return 0 ;;
    msvcp[0-9]* | msvcr[0-9]* | vcruntime* | d3dcompiler_* | d3dx*) return 1 ;;
    esac
    [ -n "$(find "$wine_dlls" -maxdepth 1 -iname "$name" -print -quit)" ]
}
imports() {
    $mingw-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r'
}
find_dll() {
    local d hit
    for d in "${search[@]}"; do
        [ -d "$d" ] || continue
        hit=$(find "$d" -maxdepth 1 -iname "$1" -print -quit)
        [ -n "$hit" ] && { echo "$hit"; return 0; }
    done
    return 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
name=tessaline-$version
stage=$work/$name
mkdir -p "$stage"

cp "$exe" "$stage/tessaline.exe"
# Loaded by name at run time, so no import table names them: the platform plugin (without it
# Qt stops at start) and the native look. Image plugins stay out: the icons are PNG, which
# QtGui reads itself.
plugins=(platforms/qwindows.dll styles/qwindowsvistastyle.dll)
for p in "${plugins[@]}"; do
    [ -f "$qt_dir/plugins/$p" ] || fail "Qt plugin $qt_dir/plugins/$p is missing"
    mkdir -p "$stage/$(dirname "$p")"
    cp "$qt_dir/plugins/$p" "$stage/$p"
done

# Follows the import tables from the program and the plugins until only system DLLs remain.
declare -A seen=()
queue=("$stage/tessaline.exe")
for p in "${plugins[@]}"; do queue+=("$stage/$p"); done
missing=()
while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    while IFS= read -r dll; do
        key=${dll,,}
        [ -n "${seen[$key]:-}" ] && continue
        seen[$key]=1
        is_system "$dll" && continue
        if src=$(find_dll "$dll"); then
            cp "$src" "$stage/$(basename "$src")"
            queue+=("$stage/$(basename "$src")")
        else
            missing+=("$dll (needed by ${file#"$stage"/})")
        fi
    done < <(imports "$file")
done
[ ${#missing[@]} -eq 0 ] || fail "not found in ${search[*]}: ${missing[*]}"

find "$stage" -type f -iname '*.dll' -exec $mingw-strip --strip-unneeded {} +
$mingw-strip "$stage/tessaline.exe"

# Licences, with CRLF line ends so that Notepad shows them as lines.
crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }
need() { [ -f "$1" ] || fail "licence file $1 is missing"; }
need "$top/LICENSE"
crlf "$top/LICENSE" "$stage/LICENSE.txt"
mkdir -p "$stage/licences"
qt_notice=/usr/share/doc/libqt6core6/copyright
gcc_notice=/usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright
mingw_notice=/usr/share/doc/mingw-w64-x86-64-dev/copyright
for f in /usr/share/common-licenses/LGPL-3 "$qt_notice" "$gcc_notice" "$mingw_notice"; do need "$f"; done
crlf /usr/share/common-licenses/LGPL-3 "$stage/licences/LGPL-3.txt"
# Debian's notice for the same qt6-base source the Windows Qt was built from, naming the
# third-party code (FreeType, HarfBuzz, PCRE2, libpng, zlib, ...) built into Qt's DLLs.
crlf "$qt_notice" "$stage/licences/Qt.txt"
crlf "$gcc_notice" "$stage/licences/GCC-runtime.txt"
crlf "$mingw_notice" "$stage/licences/mingw-w64.txt"
qcp_line="GPL-3.0-or-later; the GNU GPL version 3 is in LICENSE.txt."
if [ -f "$qt_dir/qcustomplot/GPL.txt" ]; then
    crlf "$qt_dir/qcustomplot/GPL.txt" "$stage/licences/QCustomPlot-GPL.txt"
    qcp_line="GPL-3.0-or-later: licences\\QCustomPlot-GPL.txt."
fi
# Qt, the GCC runtime and winpthreads were built from Debian's source packages: where the
# exact versions stay to be had, for the source that the libraries' licences call for. The
# host's own architecture is asked first: Qt's development package may be there for arm64 too.
source_of() {
    local pkg ver format='${source:Package} ${source:Version}\n'
    read -r pkg ver < <(dpkg-query -W -f "$format" "$2:$(dpkg --print-architecture)" 2>/dev/null ||
        dpkg-query -W -f "$format" "$2" 2>/dev/null) || true
    [ -n "$ver" ] || fail "no package $2, whose source the licence notes name"
    printf '    %s: Debian'"'"'s source package %s %s,\n        https://snapshot.debian.org/package/%s/%s/' \
        "$1" "$pkg" "$ver" "$pkg" "${ver//+/%2B}"
}
qt_source=$(source_of "Qt" qt6-base-dev)
gcc_source=$(source_of "GCC runtime" gcc-mingw-w64-x86-64-posix-runtime)
winpthreads_source=$(source_of "mingw-w64 winpthreads" mingw-w64-x86-64-dev)
qt_version=$(sed -n 's/^#define QT_VERSION_STR "\(.*\)"/\1/p' "$qt_dir/include/QtCore/qconfig.h" 2>/dev/null || true)
# The source named must be that of the Qt shipped (a Qt cached from an older Debian release
# would not be).
[[ $qt_source == *" qt6-base $qt_version"[-+~]* ]] ||
    fail "the Qt in $qt_dir is $qt_version, but the host's Qt source is: $qt_source"
cat >"$work/README-licences.txt" <<EOF
Tessaline Serial Data $version for 64-bit Windows

Tessaline Serial Data (tessaline.exe)
    GPL-3.0-or-later, copyright The Tessaline Serial Data developers: LICENSE.txt.
QCustomPlot (the trend plot)
    $qcp_line
Qt $qt_version (Qt6*.dll, platforms\\, styles\\)
    LGPL-3.0-only (licences\\LGPL-3.txt, which adds to the GNU GPL version 3 in
    LICENSE.txt), or GPL-2.0/GPL-3.0; the third-party code built into it: licences\\Qt.txt.
GCC runtime (libstdc++-6.dll, libgcc_s_seh-1.dll)
    GPL-3.0-or-later with the GCC Runtime Library Exception 3.1: licences\\GCC-runtime.txt.
mingw-w64 winpthreads (libwinpthread-1.dll)
    MIT and BSD-style licences: licences\\mingw-w64.txt (winpthreads).

Source code
    Tessaline Serial Data and QCustomPlot, as this program was built from them:
        $name-source.zip, distributed beside this installer and zip.
$qt_source
        built by tools/build-qt-windows.sh with cmake/mingw-w64.cmake, both in
        $name-source.zip.
$gcc_source
$winpthreads_source
EOF
crlf "$work/README-licences.txt" "$stage/README-licences.txt"

setup=$out_dir/$name-setup.exe
zipfile=$out_dir/$name-windows-x64.zip
sourcezip=$out_dir/$name-source.zip
rm -f "$setup" "$zipfile" "$sourcezip"
# The installer's file lists come from the staged folder, so that the uninstaller deletes
# exactly the files the installer wrote and nothing else.
"$here/make-installer.sh" "$stage" "$version" "$setup"
# zip adds to an archive that exists, hence the rm above.
(cd "$work" && zip -qrX "$zipfile" "$name")

# The source these files were built from: the project's files as they stand in the tree (a
# change not yet committed included), and the QCustomPlot compiled into tessaline.exe.
src=$work/$name-source
mkdir -p "$src/tessaline" "$src/qcustomplot"
if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$top" && git ls-files -z | xargs -0 cp --parents -t "$src/tessaline")
else
    (cd "$top" && find . -path './build*' -prune -o -path ./.git -prune -o -type f -print0 |
        xargs -0 cp --parents -t "$src/tessaline")
fi
cp "$qt_dir"/qcustomplot/* "$src/qcustomplot/"
cp "$stage/README-licences.txt" "$src/"
(cd "$work" && zip -qrX "$sourcezip" "$name-source")

echo "$setup"
echo "$zipfile"
echo "$sourcezip"
