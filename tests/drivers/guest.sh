#!/bin/sh
# The rig's guest, run by the initramfs from the host's own root (read-only over 9p):
#   guest.sh <drivers_guest program>
# It mounts what a program needs, loads the kernel's USB serial drivers and runs the logger on
# the console, then powers the machine off.
mount -t tmpfs tmp /tmp
mount -t tmpfs run /run
mkdir -p /tmp/data
mkdir -m 0700 /tmp/run
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 data /tmp/data
modprobe xhci_pci
modprobe ftdi_sio
# The harness talks to the logger over the console: no echo, no translation of line ends.
stty -echo -onlcr -icrnl
export HOME=/tmp XDG_RUNTIME_DIR=/tmp/run QT_QPA_PLATFORM=offscreen LANG=C.UTF-8
"$1" /tmp/data
sync
exec busybox poweroff -f
