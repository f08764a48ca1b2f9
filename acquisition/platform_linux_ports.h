#pragma once

// How Linux numbers its serial ports: the scan behind systemPortResolver() (platform_serial.h).

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

/// The ttys of this machine, read from /sys/class/tty.
QList<TtyEntry> scanSystemTtys();
