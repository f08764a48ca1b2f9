// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFileInfo>
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

/// The port number ("COMn") of the device at `path` (followed through symbolic links), or 0
/// when none of `present` is that device.
inline int portNumberOf(const QList<SerialDevice>& present, const QString& path) {
    const QString wanted = QFileInfo(path).canonicalFilePath();
    if (wanted.isEmpty())
        return 0;
    for (qsizetype i = 0; i < present.size(); ++i)
        if (QFileInfo(present.at(i).path).canonicalFilePath() == wanted)
            return static_cast<int>(i + 1);
    return 0;
}

/// The serial devices present now, in port order: port n ("COMn") is element n-1.
using PortScan = std::function<QList<SerialDevice>()>;
