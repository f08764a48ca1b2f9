// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/platform/windows/platform_windows_ports.h"

#include <QStringList>
#include <map>
#include <tuple>

namespace {

// Far above any real computer's ports; a bogus "COM99999" must not make a list that long.
constexpr int kMaxComNumber = 256;

// "COM3" -> 3, anything else -> 0. Windows ignores case in device names, but "COM03" is not
// the name of COM3.
int comNumber(const QString& name) {
    const QString trimmed = name.trimmed();
    if (!trimmed.startsWith(QStringLiteral("COM"), Qt::CaseInsensitive))
        return 0;
    const QStringView digits = QStringView(trimmed).mid(3);
    if (digits.isEmpty() || digits.size() > 3 || digits.front() == u'0')
        return 0;
    for (const QChar c : digits)
        if (c < u'0' || c > u'9')
            return 0;
    const int number = digits.toInt();
    return number <= kMaxComNumber ? number : 0;
}

// "0403" from "VID_0403": four hex digits, lowercase as Linux writes them.
QString hexField(const QString& field, const QString& prefix, qsizetype digits) {
    if (!field.startsWith(prefix, Qt::CaseInsensitive) || field.size() != prefix.size() + digits)
        return {};
    bool ok = false;
    field.mid(prefix.size()).toUInt(&ok, 16);
    return ok ? field.mid(prefix.size()).toLower() : QString();
}

// Windows makes up the last part of an instance ID ("6&2C5E7B1&0&0001") for a device without
// a usable serial number; a real one never holds '&'.
QString serialOrNothing(const QString& instance) {
    return instance.contains(u'&') ? QString() : instance;
}

// What an instance ID says of a USB adapter; `ids` stays empty for any other device.
struct UsbAdapter {
    QString ids;       // "0403:6001"
    QString serial;    // empty when it has none
    QString interface; // "00"
    bool ftdiBus = false;
};

// "USB\VID_2341&PID_0043&MI_01\6&2C5E7B1&0&0001": the interface of a composite device, whose
// serial number is the parent's.
UsbAdapter usbAdapter(const QString& instanceId, const QString& parentId) {
    const QStringList parts = instanceId.split(u'\\');
    if (parts.size() != 3 || parts[0].compare(QStringLiteral("USB"), Qt::CaseInsensitive) != 0)
        return {};
    UsbAdapter adapter;
    QString vendor, product;
    for (const QString& field : parts[1].split(u'&')) {
        if (vendor.isEmpty())
            vendor = hexField(field, QStringLiteral("VID_"), 4);
        if (product.isEmpty())
            product = hexField(field, QStringLiteral("PID_"), 4);
        if (adapter.interface.isEmpty())
            adapter.interface = hexField(field, QStringLiteral("MI_"), 2);
    }
    if (vendor.isEmpty() || product.isEmpty())
        return {};
    adapter.ids = vendor + u':' + product;
    if (adapter.interface.isEmpty()) {
        adapter.interface = QStringLiteral("00");
        adapter.serial = serialOrNothing(parts[2]);
    } else {
        const UsbAdapter parent = usbAdapter(parentId, {});
        if (parent.ids == adapter.ids)
            adapter.serial = parent.serial;
    }
    return adapter;
}

// FTDI's own driver: "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000", the USB serial number with
// a letter for the chip's channel. Each channel of an FT2232 or FT4232 is an interface of its
// own, channel A interface 0, and serves one port: as Linux's ftdi_sio says, port 0.
UsbAdapter ftdiAdapter(const QString& instanceId) {
    const QStringList parts = instanceId.split(u'\\');
    if (parts.size() != 3 || parts[0].compare(QStringLiteral("FTDIBUS"), Qt::CaseInsensitive) != 0)
        return {};
    const QString vendor = hexField(parts[1].section(u'+', 0, 0), QStringLiteral("VID_"), 4);
    const QString product = hexField(parts[1].section(u'+', 1, 1), QStringLiteral("PID_"), 4);
    if (vendor.isEmpty() || product.isEmpty())
        return {};
    UsbAdapter adapter{vendor + u':' + product, {}, {}, true};
    const QString serialAndChannel = serialOrNothing(parts[1].section(u'+', 2));
    const QChar channel = serialAndChannel.isEmpty() ? QChar() : serialAndChannel.back();
    if (serialAndChannel.size() > 1 && channel >= u'A' && channel <= u'Z') {
        adapter.serial = serialAndChannel.chopped(1);
        adapter.interface =
            QStringLiteral("%1").arg(channel.unicode() - u'A', 2, 16, QLatin1Char('0'));
    }
    return adapter;
}

// Without a serial number, two adapters of one kind differ only by the socket they are in.
QString usbIdentity(const UsbAdapter& usb, const QString& socket) {
    QString identity;
    if (!usb.serial.isEmpty())
        identity =
            QStringLiteral("usb %1 serial %2 interface %3").arg(usb.ids, usb.serial, usb.interface);
    else if (!socket.isEmpty())
        identity = QStringLiteral("usb %1 at %2").arg(usb.ids, socket);
    if (usb.ftdiBus && !identity.isEmpty())
        identity += QStringLiteral(" port 0");
    return identity;
}

QString operatorText(const QString& name, const ComPortRecord& record, const QString& serial) {
    QString product = record.friendlyName.trimmed();
    const QString suffix = QStringLiteral(" (") + name + u')';
    if (product.endsWith(suffix, Qt::CaseInsensitive))
        product.chop(suffix.size());
    // "(Standard port types)" names no maker; "Silicon Labs" before "Silicon Labs CP210x..."
    // says it twice.
    QString maker = record.manufacturer.trimmed();
    if (maker.startsWith(u'(') || product.startsWith(maker, Qt::CaseInsensitive))
        maker.clear();
    QStringList words = {maker, product};
    if (!serial.isEmpty())
        words << QStringLiteral("serial ") + serial;
    words.removeAll(QString());
    return words.isEmpty() ? name : name + QStringLiteral(": ") + words.join(u' ');
}

// Of two records of one name, the one that says more: SetupAPI's over the registry's.
auto fullness(const ComPortRecord& r) {
    const int fields = int(!r.parentInstanceId.isEmpty()) + int(!r.locationPath.isEmpty()) +
                       int(!r.friendlyName.isEmpty()) + int(!r.manufacturer.isEmpty());
    return std::tuple(!r.instanceId.isEmpty(), r.deviceListed, fields);
}

} // namespace

SerialDevice describeComPort(const ComPortRecord& record) {
    const int number = comNumber(record.portName);
    if (number == 0)
        return {};
    const QString name = QStringLiteral("COM%1").arg(number);
    // The device namespace reaches every port; a bare "COM10" and above does not open.
    SerialDevice device = nodeDevice(QStringLiteral("\\\\.\\") + name);
    if (record.deviceListed && record.instanceId.isEmpty()) {
        device.identity.clear(); // who it is could not be read now; the next scan asks again
        device.description = name;
        return device;
    }
    UsbAdapter usb = usbAdapter(record.instanceId, record.parentInstanceId);
    if (usb.ids.isEmpty())
        usb = ftdiAdapter(record.instanceId);
    if (!usb.ids.isEmpty()) {
        device.socket = record.locationPath;
        const QString identity = usbIdentity(usb, device.socket);
        // Without a location as well, only its COM number is left, and Windows keeps that for
        // one instance ID, which for such a device is made from its location anyway.
        if (!identity.isEmpty())
            device.identity = identity;
    }
    device.description = operatorText(name, record, usb.serial);
    return device;
}

QList<SerialDevice> comPortList(const QList<ComPortRecord>& records) {
    std::map<int, const ComPortRecord*> byNumber;
    for (const ComPortRecord& record : records) {
        const int number = comNumber(record.portName);
        if (number == 0)
            continue;
        const ComPortRecord*& kept = byNumber[number];
        if (!kept || fullness(record) > fullness(*kept))
            kept = &record;
    }
    QList<SerialDevice> devices(byNumber.empty() ? 0 : byNumber.rbegin()->first);
    for (const auto& [number, record] : byNumber)
        devices[number - 1] = describeComPort(*record);
    return devices;
}

bool comPortListed(const QString& name, const QList<SerialDevice>& ports) {
    const QString device = QStringLiteral("\\\\.\\");
    const int number = comNumber(name.startsWith(device) ? name.mid(device.size()) : name);
    return number == 0 || (number <= ports.size() && !ports[number - 1].path.isEmpty());
}
