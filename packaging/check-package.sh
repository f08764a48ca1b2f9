#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the package that `./setup.sh package` built, as CI does: the desktop entry and the
# AppStream metadata validate, lintian finds no error, the package holds exactly the files of
# packaging/package-contents.txt, and it installs, starts headless, stops on SIGTERM and purges.
# Installed, the logger at boot is checked as well: its unit verifies, its account exists, and
# the unit's command, run as that account, logs a simulated balance byte for byte and ends
# cleanly on SIGTERM; purged, the account is gone and the data stays.
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
# systemd-analyze, and man for the unit's Documentation=; the simulated balance is Python's.
[ "$native" = yes ] && tools+=(systemd man-db python3)
[ "$native" = yes ] || tools+=(qemu-user-static)
. tools/install-missing.sh
install_missing "${tools[@]}"

work=$(mktemp -d)
installed=no
# The logger at boot is checked as instrument $instance; what the check made for it goes at
# the end, whatever the outcome.
instance=pkgcheck
conf=/etc/tessaline/$instance.conf
service_made=no
runtime_made=
instrument=
# Each step on its own: one that fails must not leave the rest undone.
cleanup() {
    if [ -n "$instrument" ]; then kill "$instrument" 2>/dev/null || true; fi
    if [ "$installed" = yes ]; then apt-get purge -y tessaline >/dev/null 2>&1 || true; fi
    if [ "$service_made" = yes ]; then
        rm -rf "/var/lib/tessaline/$instance" "$conf"
        rmdir /var/lib/tessaline /etc/tessaline $runtime_made 2>/dev/null || true
    fi
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
    echo "(the logger at boot is checked where its package installs: not for $arch here)"
    echo "check-package: all checks passed"
    exit 0
fi

echo "== install"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y "$deb"
installed=yes
for program in tessaline tessaline-headless tessaline-demo tessaline-sim-balance; do
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

echo "== the logger at boot: unit and account"
unit=/lib/systemd/system/tessaline@.service
[ -f "$unit" ] || fail "$unit missing after install"
# One line of the installed unit, its specifiers resolved as systemd does for the instance.
unit_value() { # KEY
    local value
    value=$(sed -n "s/^$1=//p" "$unit")
    [ -n "$value" ] && [ "$(wc -l <<<"$value")" -eq 1 ] || fail "$unit: not one $1= line"
    value=$(sed -e "s|%i|$instance|g; s|%I|$instance|g; s|%S|/var/lib|g; s|%t|/run|g" <<<"$value")
    [[ $value != *[%\"\']* ]] || fail "$unit: $1=$value: a specifier or quote not read here"
    echo "$value"
}
out=$(systemd-analyze verify "tessaline@$instance.service" 2>&1) ||
    fail "systemd-analyze verify tessaline@$instance.service: $out"
[ -z "$out" ] || fail "systemd-analyze verify tessaline@$instance.service: $out"
echo "systemd-analyze verify tessaline@$instance.service: clean"
user=$(unit_value User)
group=$(unit_value Group)
supplementary=$(unit_value SupplementaryGroups)
getent passwd "$user" >/dev/null || fail "no account $user after install"
home=$(getent passwd "$user" | cut -d: -f6)
id -nG "$user" | grep -qw dialout || fail "$user is not in dialout: $(id "$user")"
echo "$(id "$user"), home $home"

echo "== tessaline@$instance's command as $user, a simulated balance on a pseudo-terminal"
[ ! -e "$conf" ] && [ ! -e "/var/lib/tessaline/$instance" ] ||
    fail "$conf or /var/lib/tessaline/$instance is there already: remove it first"
service_made=yes
# The unit's lines, each read once here so that a missing one stops the check.
state_dirs=$(unit_value StateDirectory)
state_mode=$(unit_value StateDirectoryMode)
runtime=/run/$(unit_value RuntimeDirectory)
runtime_mode=$(unit_value RuntimeDirectoryMode)
environment=$(unit_value Environment)
command=$(unit_value ExecStart)
read -ra state_dirs <<<"$state_dirs"
read -ra environment <<<"$environment"
read -ra command <<<"$command"
# The folders systemd makes for the unit before it starts it.
for dir in "${state_dirs[@]}"; do
    install -d -o "$user" -g "$group" -m "$state_mode" "/var/lib/$dir"
done
[ -d "$runtime" ] || runtime_made=$runtime
install -d -o "$user" -g "$group" -m "$runtime_mode" "$runtime"
[[ ${command[0]} == /* ]] || fail "$unit: ExecStart=${command[*]}: a prefix the check does not run"
# The default data folder is the one the unit names before the options file.
data=
for i in "${!command[@]}"; do
    if [ "${command[$i]}" = --folder ]; then
        data=${command[$((i + 1))]}
    fi
done
[ -d "$data" ] || fail "the unit's data folder $data was not made with its state folders"

# A balance that sends a numbered reading every 100 ms, each line once, and keeps a copy of
# every byte it sent. Its device is root's, group dialout, 0660, as a serial port's is.
python3 - "$work/sent" "$work/pty" <<'EOF' &
import os, pty, sys, time, tty
master, slave = pty.openpty()
tty.setraw(slave)
with open(sys.argv[2] + ".new", "w") as name:
    name.write(os.ttyname(slave))
os.rename(sys.argv[2] + ".new", sys.argv[2])
with open(sys.argv[1], "wb") as sent:
    for n in range(1, 1_000_000):
        line = b"ST,+%08.2f g\r" % (12.34 + n / 100)
        os.write(master, line)
        sent.write(line)
        sent.flush()
        time.sleep(0.1)
EOF
instrument=$!
for _ in $(seq 50); do
    [ -f "$work/pty" ] && break
    sleep 0.1
done
[ -f "$work/pty" ] || fail "the simulated balance made no pseudo-terminal"
pty=$(cat "$work/pty")
chgrp dialout "$pty"
chmod 0660 "$pty"
# The administrator's file: the shipped example, its port and stamp overridden by later lines.
example=/usr/share/doc/tessaline/examples/balance1.conf
comment=$(sed -n 's/^--comment //p' "$example")
[ -n "$comment" ] || fail "$example names no --comment"
{
    cat "$example"
    echo "--port $pty"
    echo "--stamp none"
} >"$conf"

# As systemd starts it: its account and groups, no new privileges, the unit's environment
# alone, standard error to the journal (which JOURNAL_STREAM tells the logger), from /.
(cd / && exec setpriv --reuid="$user" --regid="$group" --groups="${supplementary// /,}" \
    --no-new-privs env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$home" LANG=C.UTF-8 \
    JOURNAL_STREAM=0:0 "${environment[@]}" "${command[@]}") 2>"$work/journal" &
pid=$!
sleep 4
alive "$pid" || fail "tessaline@$instance's command ended by itself: $(cat "$work/journal")"
sent_by_end=$(tr -cd '\r' <"$work/sent" | wc -c)
kill -TERM "$pid"
# The data folder answers: the end writes what waits at once, well within its 3 s.
for _ in $(seq 50); do
    alive "$pid" || break
    sleep 0.1
done
if alive "$pid"; then
    kill -KILL "$pid"
    fail "tessaline@$instance still running 5 s after SIGTERM"
fi
status=0
wait "$pid" || status=$?
kill "$instrument"
wait "$instrument" 2>/dev/null || true
instrument=
[ "$status" -eq 0 ] ||
    fail "tessaline@$instance exited with $status after SIGTERM: $(cat "$work/journal")"
# Each journal line with its syslog level for the journal, then the time in ISO form.
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+(Z|[+-][0-9:]+)'
grep -Eq "^<5>$stamp notice: START: $pty .* in $data" "$work/journal" ||
    fail "no START on $pty into $data in the journal: $(cat "$work/journal")"
grep -Eq "^<5>$stamp notice: END\$" "$work/journal" ||
    fail "no END in the journal: $(cat "$work/journal")"
echo "exit status 0; the journal says:"
grep -E 'START|END' "$work/journal"

# What was written is exactly what was sent, from the line the logger got in step at on:
# every later line, in order, byte for byte, each CR ended one CR LF ended, up to SIGTERM.
python3 - "$work/sent" "$sent_by_end" "$comment" "$data"/*.txt <<'EOF' ||
import sys
sent = open(sys.argv[1], "rb").read().split(b"\r")[:-1]
sent_by_end, comment = int(sys.argv[2]), sys.argv[3].encode()
records = []
for path in sys.argv[4:]:
    content = open(path, "rb").read()
    assert content.endswith(b"\r\n"), f"{path} does not end with CR LF"
    header, *lines = content[:-2].split(b"\r\n")
    assert comment in header, f"{path}: header {header!r} lacks the comment {comment!r}"
    records += lines
assert len(records) >= 15, f"{len(records)} records in 4 s at 10 lines a second"
assert records[0] in sent, f"the first record {records[0]!r} was never sent"
first = sent.index(records[0])
assert records == sent[first:first + len(records)], "the records are not the lines sent"
last = first + len(records)
assert last >= sent_by_end - 5, f"lines up to {last} recorded, {sent_by_end} sent by SIGTERM"
print(f"{len(records)} records, byte for byte lines {first + 1} to {last} of those sent "
      f"({sent_by_end} by SIGTERM)")
EOF
    fail "the data in $data is not what the simulated balance sent"

echo "== purge"
kept=$(cat "$data"/*.txt | sha256sum)
apt-get purge -y tessaline
installed=no
[ ! -e /usr/bin/tessaline ] || fail "/usr/bin/tessaline left after purge"
! getent passwd "$user" >/dev/null || fail "the account $user is left after purge"
! getent group "$group" >/dev/null || fail "the group $group is left after purge"
# The records are the instrument's, not the package's.
[ "$(cat "$data"/*.txt 2>/dev/null | sha256sum)" = "$kept" ] ||
    fail "purge took or changed the data files in $data"
echo "account gone, $data kept"
echo "check-package: all checks passed"
