#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Qt for 64-bit Windows once, from Debian's own qt6-base source and Debian's mingw-w64,
# with Debian's moc, rcc and uic as the host tools, and installs it into a cache folder outside
# the clone, named for Qt's version and this script's hash: later runs find it and build
# nothing. The source of Debian's QCustomPlot goes beside it, for the Windows build to compile.
# Prints the cache folder as its last line. Run as root on Debian 12 (it installs what it lacks).
#
#   tools/build-qt-windows.sh [--install-only]
#
# --install-only installs what the build needs and stops: apt serves one caller at a time, so a
# build started beside other stages gets its packages first, in the foreground.
# The cache lies under $XDG_CACHE_HOME (else ~/.cache)/tessaline.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD

. tools/install-missing.sh
# dpkg-dev unpacks the source; the host Qt's tools run moc, rcc and uic for Windows.
install_missing g++-mingw-w64-x86-64-posix cmake ninja-build dpkg-dev qt6-base-dev qt6-base-dev-tools
[ "${1:-}" = --install-only ] && exit 0

qt_version=$(dpkg-query -W -f '${Version}' "qt6-base-dev:$(dpkg --print-architecture)")
script_hash=$(cat "$0" cmake/mingw-w64.cmake | sha256sum | cut -c1-12)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tessaline/qt-windows-${qt_version//[^A-Za-z0-9.+-]/_}-$script_hash
if [ -f "$cache/complete" ]; then
    echo "$cache"
    exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Debian's source packages, for this call only: a source list, package lists and a package
# cache of its own, so the machine's apt set-up is left as it was, and apt calls of other stages
# running meanwhile neither wait for this one nor share its files.
mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
    >"$work/sources.list"
apt_own=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
         -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
apt-get "${apt_own[@]}" update
# The same version as the host Qt, whose tools the build borrows.
(cd "$work" && apt-get "${apt_own[@]}" source "qt6-base=$qt_version" qcustomplot)
qt_source=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
qcp_source=$(find "$work" -maxdepth 1 -type d -name 'qcustomplot-*' | head -n 1)

started=$(date +%s)
# Only what the logger and its tests use: Core, Gui, Widgets, PrintSupport (the plot library
# needs it), Test, the windows platform plugin, the offscreen one the tests run on (it needs
# FreeType) and the native style. Each line below turns one more thing off, and says why. The
# Direct2D platform plugin stays, unused: without it Qt 6.4 leaves out the DirectWrite font
# engine, which PrintSupport still links against.
trim=(
    -DFEATURE_network=OFF             # no sockets: the serial layer is Win32 calls of its own
    -DFEATURE_sql=OFF                 # no databases: records are CSV files
    -DFEATURE_dbus=OFF                # D-Bus is not a Windows service
    -DFEATURE_concurrent=OFF          # Qt Concurrent: nothing runs through it
    -DFEATURE_xml=OFF                 # Qt Xml's DOM: the one XML reader used is Core's stream reader
    -DINPUT_opengl=no                 # widgets paint with the raster engine: no Qt OpenGL, no GL widgets
    -DFEATURE_vulkan=OFF              # nor Vulkan
    -DFEATURE_tabletevent=OFF         # Debian's tarball lacks wintab.h; no pens anyway
    -DFEATURE_jpeg=OFF                # image plugins: the icons are PNG, built into Gui,
    -DFEATURE_gif=OFF                 #   and the exe's icon is a Windows resource, not read by Qt
    -DFEATURE_ico=OFF
    -DFEATURE_textmarkdownreader=OFF  # no Markdown in any label or text field
    -DFEATURE_textmarkdownwriter=OFF
    -DFEATURE_textodfwriter=OFF       # no ODF export of rich text
    -DFEATURE_systemtrayicon=OFF      # the logger has no tray icon
)
cmake -S "$qt_source" -B "$work/qt-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$cache" \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    "${trim[@]}"
cmake --build "$work/qt-build" --parallel 2
cmake --install "$work/qt-build"
mkdir -p "$cache/qcustomplot"
cp "$qcp_source/qcustomplot.h" "$qcp_source/qcustomplot.cpp" "$qcp_source/GPL.txt" "$cache/qcustomplot/" 2>/dev/null ||
    cp "$qcp_source/qcustomplot.h" "$qcp_source/qcustomplot.cpp" "$cache/qcustomplot/"
echo "built in $(( ($(date +%s) - started) / 60 )) min" >"$cache/complete"
cat "$cache/complete" >&2
echo "$cache"
