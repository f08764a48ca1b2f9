#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The rig's guest, run by the initramfs from the host's own root (read-only over 9p):
#   guest.sh <drivers_guest program>
# It mounts what a program needs, loads the kernel's USB serial drivers and runs the logger on
# the console, then powers the machine off.
# All the guest writes goes below /run: a tmpfs over /tmp would hide a build that lives there.
mount -t tmpfs run /run
mkdir -p /run/data /run/tmp
mkdir -m 0700 /run/xdg
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 data /run/data
# A driver that does not load says why here; the host then sees no adapter and says so.
for module in xhci_pci ftdi_sio; do
    modprobe "$module" || echo "guest.sh: modprobe $module failed with status $?"
done
# The harness talks to the logger over the console: no echo, no translation of line ends.
stty -echo -onlcr -icrnl
export HOME=/run/tmp TMPDIR=/run/tmp XDG_RUNTIME_DIR=/run/xdg QT_QPA_PLATFORM=offscreen LANG=C.UTF-8
"$1" /run/data
sync
exec busybox poweroff -f
