// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/platform/linux/platform_linux_ports.h"

#include "acquisition/platform/platform_serial.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace {

// Built-in ports first, then USB adapters; within a kind, by number.
const QStringList kKinds = {QStringLiteral("ttyS"), QStringLiteral("ttyAMA"),
                            QStringLiteral("ttyUSB"), QStringLiteral("ttyACM")};
constexpr qsizetype kFirstUsbKind = 2;

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
QList<TtyEntry> scanTtys(const QString& sysRoot) {
    const QString root = sysRoot + QStringLiteral("/class/tty");
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

namespace {

// The USB device a tty hangs below, the interface it hangs from (the folder just below that
// one) and the tty's own device folder: for ttyUSB the usb-serial port, for ttyACM the
// interface itself.
struct UsbPlace {
    QString device;
    QString interface;
    QString port;
};

UsbPlace usbPlaceOf(const QString& ttyDevice, const QString& sysRoot) {
    QString below;
    const QString port = QFileInfo(ttyDevice).canonicalFilePath();
    const QString top = QFileInfo(sysRoot).canonicalFilePath();
    for (QString dir = port; !dir.isEmpty() && dir.startsWith(top) && dir != top;) {
        if (QFileInfo::exists(dir + QStringLiteral("/idVendor")))
            return below.isEmpty() ? UsbPlace{} : UsbPlace{dir, below, port};
        below = dir;
        dir = QFileInfo(dir).path();
    }
    return {};
}

bool isUsbTty(const QString& name) {
    return classify(name).kind >= kFirstUsbKind;
}

SerialDevice describe(const QString& name, const QString& sysRoot) {
    SerialDevice device = nodeDevice(QStringLiteral("/dev/") + name);
    const QString link = sysRoot + QStringLiteral("/class/tty/") + name + QStringLiteral("/device");
    const UsbPlace usb = usbPlaceOf(link, sysRoot);
    if (usb.device.isEmpty()) {
        // A USB adapter that left while it was read, or whose folders could not be read, is
        // nobody yet: its node may soon belong to another adapter. The next scan asks again.
        if (isUsbTty(name))
            device.identity.clear();
        return device;
    }
    const auto field = [&usb](const char* file) {
        return readTrimmed(usb.device + u'/' + QLatin1String(file));
    };
    const QString ids = field("idVendor") + u':' + field("idProduct");
    const QString serial = field("serial");
    const QString interface = readTrimmed(usb.interface + QStringLiteral("/bInterfaceNumber"));
    device.socket = QFileInfo(usb.interface).fileName();
    // Without a serial number, two adapters of one kind differ only by the socket they are in.
    device.identity =
        serial.isEmpty()
            ? QStringLiteral("usb %1 at %2").arg(ids, device.socket)
            : QStringLiteral("usb %1 serial %2 interface %3").arg(ids, serial, interface);
    // A multi-port adapter may serve all its ports from one interface; the driver numbers them.
    const QString portNumber =
        usb.port == usb.interface ? QString()
                                  : readTrimmed(usb.port + QStringLiteral("/port_number"));
    if (!portNumber.isEmpty())
        device.identity += QStringLiteral(" port ") + portNumber;
    QStringList words = {field("manufacturer"), field("product")};
    if (!serial.isEmpty())
        words << QStringLiteral("serial ") + serial;
    words.removeAll(QString());
    if (!words.isEmpty())
        device.description += QStringLiteral(": ") + words.join(u' ');
    return device;
}

} // namespace

QList<SerialDevice> scanSerialDevices(const QString& sysRoot) {
    QList<SerialDevice> devices;
    for (const QString& name : orderSerialDevices(scanTtys(sysRoot)))
        devices.append(describe(name, sysRoot));
    return devices;
}

QList<SerialDevice> systemPortScan() {
    return scanSerialDevices(QStringLiteral("/sys"));
}
