#!/usr/bin/env bash
# Installs what is missing, builds, then launches the logger (run), runs every test (test),
# or starts the logger with COM1 wired to a simulated instrument (demo).
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-serialport-dev libgl-dev)
case "${1:-}" in
# Records may hold Japanese text: give the record box a Mincho face to draw it with.
run | demo) packages+=(fonts-ipafont-mincho) ;;
esac
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
build() { # build DIR [extra cmake args]
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALINE_WERROR=$werror "$@"
    cmake --build "$dir" -j2
}

case "${1:-}" in
run)
    build build
    exec build/tessaline
    ;;
test)
    build build
    (cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2)
    ;;
demo)
    build build
    exec build/tools/tessaline_demo
    ;;
*)
    echo "usage: $0 run|test|demo" >&2
    exit 2
    ;;
esac
