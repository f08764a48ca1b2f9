// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// How Windows numbers its serial ports and tells its devices apart: the scan behind
// systemPortScan() (platform_serial.h). What the system says is gathered into records by
// platform_windows_ports.cpp; platform_windows_port_names.cpp reads them on any system.

#include "acquisition/platform/serial_device.h"

#include <QList>
#include <QString>

/// One COM port as the registry or SetupAPI lists it.
struct ComPortRecord {
    QString portName;          // "COM3"
    QString instanceId;        // "USB\VID_0403&PID_6001\A50285BI"
    QString parentInstanceId;  // the device above it: for a USB interface, the USB device
    QString locationPath;      // "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)"
    QString friendlyName;      // "USB Serial Port (COM3)"
    QString manufacturer;      // "FTDI"
    bool deviceListed = false; // SetupAPI knows a device behind the name
};

/// The port a record describes: a USB adapter by vendor, product, serial number and interface,
/// or by its USB location when it has no serial number; anything else by its device path. A
/// listed device whose instance ID could not be read has no identity.
SerialDevice describeComPort(const ComPortRecord& record);

/// The ports in COM numbering: port n ("COMn") is element n-1, an absent one an empty device.
/// Names other than COM1..COM256 are left out; of a name listed twice the fuller record counts.
QList<SerialDevice> comPortList(const QList<ComPortRecord>& records);

/// Whether `ports` (as comPortList gives them) hold the port a device was opened by: "COM3" or
/// "\\.\COM3". A name that is no COM port is taken as listed, there being nothing to look for.
bool comPortListed(const QString& name, const QList<SerialDevice>& ports);
