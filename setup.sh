#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, then launches the logger (run), runs every test (test),
# starts the logger with COM1 wired to a simulated instrument (demo), runs every test in a
# clang build with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer (asan),
# runs the acquisition tests in a clang build with ThreadSanitizer (tsan),
# builds the Debian package build/tessaline_<version>_amd64.deb from a release build (package),
# cross-builds for arm64 and runs the tests under emulation (test-arm64) or builds
# build/tessaline_<version>_arm64.deb (package-arm64),
# cross-builds for 64-bit Windows and runs its tests under Wine (test-windows) or builds its
# installer build/tessaline-<version>-setup.exe and zip (package-windows),
# runs clang-tidy over the whole tree (tidy), or measures the trend's history at its bound and
# the logger beside tio and cat (bench [seconds per phase]).
# Builds go through the presets in CMakePresets.json.
# --install-only before a command installs what that command needs, and stops.
set -euo pipefail
cd "$(dirname "$0")"
install_only=false
if [ "${1:-}" = --install-only ]; then
    install_only=true
    shift
fi

packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-serialport-dev libgl-dev
          libqcustomplot-dev)
case "${1:-}" in
# The real-driver rig boots Debian's kernel under QEMU; its initramfs is built from busybox.
# The storage tests mount a folder that can be made to hang, through FUSE.
# The spreadsheet copy is opened in LibreOffice Calc, headless; the language it is read in goes
# with each conversion, so no locale needs generating.
test) packages+=(qemu-system-x86 linux-image-amd64 busybox-static kmod fuse3 libfuse3-dev
                 libreoffice-calc-nogui) ;;
# Records and header comments may be Japanese (UTF-8): the record box asks for a Mincho face,
# and the comment box falls back to it.
run | demo) packages+=(fonts-ipafont-mincho) ;;
# The sanitizer builds use clang; in the address build its libFuzzer also drives the fuzz target.
asan | tsan) packages+=(clang libclang-rt-14-dev) ;;
# CPack reads the package's dependencies off its binaries with dpkg-shlibdeps and file.
package) packages+=(dpkg-dev file) ;;
# The arm64 build: Debian's cross compiler, the :arm64 libraries beside the host's (the host's
# Qt tools run moc and rcc), and user-mode emulation for the tests.
test-arm64 | package-arm64)
    dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
    packages+=(g++-aarch64-linux-gnu qemu-user-static qt6-base-dev:arm64 qt6-serialport-dev:arm64
               libgl-dev:arm64 libqcustomplot-dev:arm64 dpkg-dev file)
    ;;
# Windows: Debian's mingw-w64 (tools/build-qt-windows.sh builds Qt with it, once per machine),
# Wine for the tests, NSIS and zip for the installer and the zip (unzip for their check),
# icoutils for the program's icon and the check's look at its icon and version.
test-windows | package-windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64 nsis zip unzip icoutils) ;;
# The static check reads the dev build's compile commands (.clang-tidy: which checks).
tidy) packages+=(clang-tidy) ;;
# The benchmark's peer, and the fonts the operator's window draws with.
bench) packages+=(tio fonts-ipafont-mincho) ;;
esac
. tools/install-missing.sh
install_missing "${packages[@]}"
$install_only && exit 0

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
build() { # build PRESET
    cmake --preset "$1" -DTESSALINE_WERROR=$werror
    cmake --build --preset "$1"
}

# The Windows build in build-windows, against the Qt for Windows that the script builds once
# and caches outside the clone (its last line names it); the first time takes about 20 minutes
# on 2 cores (some 30 minutes of processor time).
build_windows() {
    # Its progress shown as it comes; asked again, it only names the cache. (Not tee /dev/stderr,
    # which truncates a log file that stderr goes to.)
    tools/build-qt-windows.sh >&2
    qt_windows=$(tools/build-qt-windows.sh | tail -n 1)
    "$qt_windows/bin/qt-cmake" -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DTESSALINE_WERROR=$werror \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/tests/windows/wine-test.sh"
    cmake --build build-windows --parallel 2
}

case "${1:-}" in
run)
    build dev
    exec build/tessaline
    ;;
test)
    build dev
    ctest --preset dev
    ;;
asan)
    build asan
    ctest --preset asan
    ;;
tsan)
    build tsan
    ctest --preset tsan
    ;;
demo)
    build dev
    exec build/tools/tessaline-demo "${@:2}" # options for the simulated balance
    ;;
package)
    build release
    cpack --preset release
    echo "Install it with: apt install $(ls ./build/tessaline_*_amd64.deb -t | head -n 1)"
    ;;
test-arm64)
    build cross-arm64
    ctest --preset cross-arm64
    ;;
package-arm64)
    build cross-arm64
    cpack --preset cross-arm64
    echo "Copy it to the Pi and install it with: apt install ./$(ls ./build/tessaline_*_arm64.deb -t | head -n 1)"
    ;;
test-windows)
    build_windows
    ctest --test-dir build-windows --output-on-failure -j 2
    ;;
package-windows)
    build_windows
    packaging/windows/package.sh build-windows "$qt_windows" build
    ;;
tidy)
    # The dev build's compile commands, so the tree is not compiled a third time for it.
    build dev
    run-clang-tidy -quiet -p build -j 2 "$PWD/(acquisition|ui|tools|tests|bench|fuzz|main\.cpp|headless_main\.cpp)"
    ;;
bench)
    build dev
    build/bench/bench_trend
    exec build/bench/bench_logger "${@:2}"
    ;;
*)
    echo "usage: $0 [--install-only] run|test|demo|asan|tsan|package|test-arm64|package-arm64|test-windows|package-windows|tidy|bench [seconds per phase]" >&2
    exit 2
    ;;
esac
