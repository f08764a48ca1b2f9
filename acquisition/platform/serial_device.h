// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>
#include <functional>

/// One serial device present on the computer.
struct SerialDevice {
    QString path;        // what the serial layer opens: "/dev/ttyUSB0"
    QString identity;    // the same for one device wherever and under whatever node it appears;
                         // empty while the system could not say who it is
    QString socket;      // the USB socket it is in ("1-1.2:1.0"); empty for a built-in port
    QString description; // for the operator: the node, and for USB maker, product and serial
};

/// A device known by its node alone: a built-in port, a pseudo-terminal.
inline SerialDevice nodeDevice(const QString& path) {
    return {path, QStringLiteral("node ") + path, {}, path};
}

/// The serial devices present now, in port order: port n ("COMn") is element n-1.
using PortScan = std::function<QList<SerialDevice>()>;
