#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the package that `./setup.sh package` built, as CI does: the desktop entry and the
# AppStream metadata validate, lintian finds no error, the package holds exactly the files of
# packaging/package-contents.txt, and it installs, starts headless, stops on SIGTERM and purges.
#   packaging/check-package.sh [ARCH]   (default amd64; arm64 checks ./setup.sh package-arm64's)
# A package for another architecture cannot be installed here: its extracted logger runs under
# qemu-user instead. Run as root on a machine where the package may be installed and purged;
# installs the checking tools it lacks.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "check-package: $*" >&2
    exit 1
}
# A process that has ended may linger as a zombie until its parent reaps it.
alive() {
    local state
    state=$(ps -o stat= -p "$1") || return 1
    [[ $state != Z* ]]
}
# Starts the logger (the command given) headless in a scratch folder; it must stay up 3 s and
# end with status 0 on SIGTERM, through its own handler.
runs_then_ends_on_sigterm() {
    local pid status=0
    (cd "$work" && exec "$@") &
    pid=$!
    sleep 3
    alive "$pid" || fail "tessaline did not stay up for 3 s"
    kill -TERM "$pid"
    for _ in $(seq 50); do
        alive "$pid" || break
        sleep 0.1
    done
    if alive "$pid"; then
        kill -KILL "$pid"
        fail "tessaline still running 5 s after SIGTERM"
    fi
    wait "$pid" || status=$?
    # The logger's own handler takes the signal and ends it cleanly; 128 + 15 would mean the
    # signal killed it outright, past its last write of waiting records.
    [ "$status" -eq 0 ] || fail "tessaline exited with $status after SIGTERM"
    echo "ran 3 s, ended on SIGTERM with status $status"
}
[ "$(id -u)" -eq 0 ] || fail "run as root: it installs and purges the package"

version=$(sed -n 's/^project(Tessaline VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=${1:-amd64}
deb=$PWD/build/tessaline_${version}_${arch}.deb
[ -f "$deb" ] || fail "$deb missing: run ./setup.sh package (or package-$arch) first"
native=yes
[ "$arch" = "$(dpkg --print-architecture)" ] || native=no

tools=(desktop-file-utils appstream lintian procps)
[ "$native" = yes ] || tools+=(qemu-user-static)
. tools/install-missing.sh
install_missing "${tools[@]}"

work=$(mktemp -d)
installed=no
cleanup() {
    [ "$installed" = yes ] && apt-get purge -y tessaline >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

echo "== contents"
dpkg-deb --contents "$deb" | awk '{print $1, $2, $6}' | sort >"$work/contents"
grep -v '^#' packaging/package-contents.txt | sort >"$work/expected"
diff -u "$work/expected" "$work/contents" || fail "the package's files differ from packaging/package-contents.txt"
echo "$(wc -l <"$work/contents") entries as expected"

dpkg-deb -x "$deb" "$work/root"
echo "== desktop-file-validate"
out=$(desktop-file-validate "$work/root/usr/share/applications/tessaline.desktop" 2>&1) ||
    fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
echo "clean"

echo "== appstreamcli validate --no-net"
appstreamcli validate --no-net "$work"/root/usr/share/metainfo/*.metainfo.xml ||
    fail "the AppStream metadata does not validate"

echo "== lintian"
# lintian warns when run as root; CI has no other account.
lintian --display-info --fail-on error "$deb" 2> >(grep -v '^running with root' >&2) ||
    fail "lintian reports errors"
echo "no errors"

if [ "$native" = no ]; then
    # The same program as an installed one would be, run by the emulator; its libraries are
    # the :arm64 ones the build used.
    export QT_QPA_PLATFORM=offscreen
    [ "$arch" = arm64 ] || fail "no emulator known for $arch"
    emulator=qemu-aarch64-static
    echo "== start the extracted /usr/bin/tessaline under $emulator, then SIGTERM"
    runs_then_ends_on_sigterm "$emulator" "$work/root/usr/bin/tessaline"
    echo "check-package: all checks passed"
    exit 0
fi

echo "== install"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y "$deb"
installed=yes
for program in tessaline tessaline-demo tessaline-sim-balance; do
    [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program missing after install"
done
# The menu entry starts the installed logger and shows its icon.
entry=/usr/share/applications/tessaline.desktop
[ "$(command -v "$(sed -n 's/^Exec=//p' "$entry")")" = /usr/bin/tessaline ] ||
    fail "the menu entry does not start /usr/bin/tessaline"
[ -f "/usr/share/icons/hicolor/32x32/apps/$(sed -n 's/^Icon=//p' "$entry").png" ] ||
    fail "the menu entry's icon is not in the hicolor theme"

# Started as from the menu, but headless and in a scratch folder.
export QT_QPA_PLATFORM=offscreen
echo "== start /usr/bin/tessaline, then SIGTERM"
runs_then_ends_on_sigterm /usr/bin/tessaline

echo "== start /usr/bin/tessaline-demo: it finds the simulated balance beside itself"
(cd "$work" && exec /usr/bin/tessaline-demo) >"$work/demo.out" 2>&1 &
pid=$!
for _ in $(seq 100); do
    grep -q '^Simulated balance on /dev/' "$work/demo.out" && break
    alive "$pid" || break
    sleep 0.1
done
grep '^Simulated balance on /dev/' "$work/demo.out" || fail "tessaline-demo: $(cat "$work/demo.out")"
balance=$(ps -o pid= --ppid "$pid" | tr -d ' ')
[ -n "$balance" ] || fail "tessaline-demo runs no simulated balance"
kill -TERM "$pid"
wait "$pid" || true
for _ in $(seq 50); do
    alive "$balance" || break
    sleep 0.1
done
! alive "$balance" || fail "the simulated balance outlived the demo"
echo "demo and balance ended"

echo "== purge"
apt-get purge -y tessaline
installed=no
[ ! -e /usr/bin/tessaline ] || fail "/usr/bin/tessaline left after purge"
echo "check-package: all checks passed"
