// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// How Linux numbers its serial ports and tells its devices apart: the scan behind
// systemPortScan() (platform_serial.h).

#include "acquisition/platform/serial_device.h"

#include <QList>
#include <QString>
#include <QStringList>

/// One tty the system lists, and whether real hardware stands behind it.
struct TtyEntry {
    QString name; // "ttyS0", "ttyUSB1", ...
    bool hasHardware = false;
};

/// Serial devices in port order: built-in ports with hardware (ttyS, ttyAMA) by number, then
/// USB adapters (ttyUSB, then ttyACM) by number. Port n is element n-1.
QStringList orderSerialDevices(const QList<TtyEntry>& entries);

/// The ttys that `sysRoot` (the system's /sys, or a test's tree) lists in class/tty.
QList<TtyEntry> scanTtys(const QString& sysRoot);

/// The serial devices under `sysRoot` in port order, each with its identity: a USB adapter by
/// vendor, product, serial number and interface, or by its USB port path when it has no serial
/// number, and by the driver's port number on a multi-port adapter; anything else (a built-in
/// port) by its device node. A USB adapter whose folders cannot be read has no identity.
QList<SerialDevice> scanSerialDevices(const QString& sysRoot);
