#include "acquisition/platform_linux_ports.h"

#include "acquisition/platform_serial.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace {

// Built-in ports first, then USB adapters; within a kind, by number.
const QStringList kKinds = {QStringLiteral("ttyS"), QStringLiteral("ttyAMA"),
                            QStringLiteral("ttyUSB"), QStringLiteral("ttyACM")};

struct SerialName {
    qsizetype kind = -1;
    int number = -1;
};

SerialName classify(const QString& name) {
    for (qsizetype kind = 0; kind < kKinds.size(); ++kind) {
        if (!name.startsWith(kKinds[kind]))
            continue;
        const QString digits = name.mid(kKinds[kind].size());
        bool ok = !digits.isEmpty() &&
                  std::all_of(digits.begin(), digits.end(), [](QChar c) { return c.isDigit(); });
        const int number = ok ? digits.toInt(&ok) : -1;
        if (ok)
            return {kind, number};
    }
    return {};
}

QString readTrimmed(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).trimmed();
}

} // namespace

QStringList orderSerialDevices(const QList<TtyEntry>& entries) {
    QList<std::pair<SerialName, QString>> ports;
    for (const TtyEntry& entry : entries) {
        const SerialName serial = classify(entry.name);
        if (entry.hasHardware && serial.kind >= 0)
            ports.append({serial, entry.name});
    }
    std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
        return std::pair(a.first.kind, a.first.number) < std::pair(b.first.kind, b.first.number);
    });
    QStringList names;
    for (const auto& port : ports)
        names << port.second;
    return names;
}

// Not QSerialPortInfo: it lists in udev's order, not COMn's, and drops any ttyS it cannot open.
QList<TtyEntry> scanSystemTtys() {
    const QString root = QStringLiteral("/sys/class/tty");
    QList<TtyEntry> entries;
    const QStringList names = QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const SerialName serial = classify(name);
        if (serial.kind < 0)
            continue;
        const QString dir = root + u'/' + name;
        bool hardware = QFileInfo::exists(dir + QStringLiteral("/device"));
        // The 8250 driver makes ttyS0..ttyS31 whether or not a UART answers; a phantom one
        // has type 0 (PORT_UNKNOWN).
        if (hardware && serial.kind == 0) {
            const QString type = readTrimmed(dir + QStringLiteral("/type"));
            hardware = !type.isEmpty() && type != QStringLiteral("0");
        }
        entries.append({name, hardware});
    }
    return entries;
}

// Port n is the n-th device of the scan, as a /dev path.
QString systemPortResolver(int16_t portNumber) {
    const QStringList devices = orderSerialDevices(scanSystemTtys());
    if (portNumber < 1 || portNumber > devices.size())
        return {};
    return QStringLiteral("/dev/") + devices[portNumber - 1];
}
