// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/platform/windows/platform_windows_ports.h"

#include <QTest>

namespace {

const QString kHub = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";

// A name in HARDWARE\DEVICEMAP\SERIALCOMM alone.
ComPortRecord registryOnly(const QString& name) {
    ComPortRecord record;
    record.portName = name;
    return record;
}

// A device SetupAPI lists.
ComPortRecord listed(const char* name, const char* instanceId, const QString& location = {},
                     const char* parentId = "") {
    ComPortRecord record = registryOnly(name);
    record.instanceId = instanceId;
    record.parentInstanceId = parentId;
    record.locationPath = location;
    record.deviceListed = true;
    return record;
}

ComPortRecord named(ComPortRecord record, const char* friendlyName, const char* manufacturer) {
    record.friendlyName = friendlyName;
    record.manufacturer = manufacturer;
    return record;
}

} // namespace

Q_DECLARE_METATYPE(ComPortRecord)

// Which device each COM number is, and what tells one device from another, read from what the
// registry and SetupAPI say of the ports.
class TstWinPortScan : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void devicesAndTheirIdentities_data() {
        QTest::addColumn<QList<ComPortRecord>>("records");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QStringList>("identities");
        QTest::addColumn<QStringList>("sockets");
        QTest::addColumn<QStringList>("descriptions");
        const QString ftdiSocket = kHub + "#USB(1)";
        QTest::newRow("USB adapter by its serial number, COM1 and COM2 absent")
            << QList{named(listed("COM3", "USB\\VID_0403&PID_6001\\A50285BI", ftdiSocket),
                           "USB Serial Port (COM3)", "FTDI")}
            << QStringList{"", "", "\\\\.\\COM3"}
            << QStringList{"", "", "usb 0403:6001 serial A50285BI interface 00"}
            << QStringList{"", "", ftdiSocket}
            << QStringList{"", "", "COM3: FTDI USB Serial Port serial A50285BI"};
        QTest::newRow("interface of a composite device: the parent's serial number, not another's")
            << QList{named(listed("COM4", "USB\\VID_2341&PID_0043&MI_01\\6&2C5E7B1&0&0001",
                                  kHub + "#USBMI(1)", "USB\\VID_2341&PID_0043\\75830"),
                           "USB Serial Device (COM4)", "Microsoft"),
                     listed("COM5", "USB\\VID_2341&PID_0043&MI_02\\6&AB&0&0002", kHub + "#USBMI(2)",
                            "USB\\VID_05E3&PID_0610\\HUB1")}
            << QStringList{"", "", "", "\\\\.\\COM4", "\\\\.\\COM5"}
            << QStringList{"", "", "", "usb 2341:0043 serial 75830 interface 01",
                           "usb 2341:0043 at " + kHub + "#USBMI(2)"}
            << QStringList{"", "", "", kHub + "#USBMI(1)", kHub + "#USBMI(2)"}
            << QStringList{"", "", "", "COM4: Microsoft USB Serial Device serial 75830", "COM5"};
        QTest::newRow("made-up instance IDs: two clones by socket, one nowhere by its path")
            << QList{listed("COM2", "USB\\VID_1A86&PID_7523\\5&2C5E7B1&0&2", kHub + "#USB(2)"),
                     listed("COM1", "USB\\VID_1A86&PID_7523\\5&2C5E7B1&0&3", kHub + "#USB(3)"),
                     listed("COM3", "USB\\VID_067B&PID_2303\\5&1&0&1")}
            << QStringList{"\\\\.\\COM1", "\\\\.\\COM2", "\\\\.\\COM3"}
            << QStringList{"usb 1a86:7523 at " + kHub + "#USB(3)",
                           "usb 1a86:7523 at " + kHub + "#USB(2)", "node \\\\.\\COM3"}
            << QStringList{kHub + "#USB(3)", kHub + "#USB(2)", ""}
            << QStringList{"COM1", "COM2", "COM3"};
        QTest::newRow("FTDI's bus: the channel letter is the interface, not the serial number")
            << QList{listed("COM1", "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", ftdiSocket),
                     listed("COM2", "FTDIBUS\\VID_0403+PID_6010+FT22B\\0000", kHub + "#USBMI(1)"),
                     listed("COM3", "FTDIBUS\\VID_0403+PID_6015+5&1A&0&2\\0000", kHub),
                     listed("COM4", "FTDIBUS\\VID_0403+PID_6015+5&1A&0&3\\0000")}
            << QStringList{"\\\\.\\COM1", "\\\\.\\COM2", "\\\\.\\COM3", "\\\\.\\COM4"}
            << QStringList{"usb 0403:6001 serial A50285BI interface 00 port 0",
                           "usb 0403:6010 serial FT22 interface 01 port 0",
                           "usb 0403:6015 at " + kHub + " port 0", "node \\\\.\\COM4"}
            << QStringList{ftdiSocket, kHub + "#USBMI(1)", kHub, ""}
            << QStringList{"COM1: serial A50285BI", "COM2: serial FT22", "COM3", "COM4"};
        QTest::newRow("built-in, virtual and unknown ports by their path, COM10 and above too")
            << QList{named(listed("COM1", "ACPI\\PNP0501\\1"), "Communications Port (COM1)",
                           "(Standard port types)"),
                     listed("COM2", "ROOT\\PORTS\\0000"), registryOnly("COM12")}
            << QStringList{"\\\\.\\COM1", "\\\\.\\COM2", "", "", "", "", "", "", "", "", "",
                           "\\\\.\\COM12"}
            << QStringList{"node \\\\.\\COM1",
                           "node \\\\.\\COM2",
                           "",
                           "",
                           "",
                           "",
                           "",
                           "",
                           "",
                           "",
                           "",
                           "node \\\\.\\COM12"}
            << QStringList(12) << QStringList{"COM1: Communications Port",
                                              "COM2",
                                              "",
                                              "",
                                              "",
                                              "",
                                              "",
                                              "",
                                              "",
                                              "",
                                              "",
                                              "COM12"};
        QTest::newRow("listed twice: the fuller record, whichever comes first")
            << QList{registryOnly("COM1"), listed("COM1", "USB\\VID_10C4&PID_EA60\\0001", kHub),
                     listed("COM2", "USB\\VID_10C4&PID_EA60\\0002", kHub), registryOnly("COM2")}
            << QStringList{"\\\\.\\COM1", "\\\\.\\COM2"}
            << QStringList{"usb 10c4:ea60 serial 0001 interface 00",
                           "usb 10c4:ea60 serial 0002 interface 00"}
            << QStringList{kHub, kHub} << QStringList{"COM1: serial 0001", "COM2: serial 0002"};
        QTest::newRow("a listed device whose instance ID could not be read is nobody yet")
            << QList{registryOnly("COM2"), listed("COM2", "")} << QStringList{"", "\\\\.\\COM2"}
            << QStringList{"", ""} << QStringList{"", ""} << QStringList{"", "COM2"};
        QTest::newRow("no ports") << QList<ComPortRecord>{} << QStringList{} << QStringList{}
                                  << QStringList{} << QStringList{};
    }
    void devicesAndTheirIdentities() {
        QFETCH(QList<ComPortRecord>, records);
        QStringList paths, identities, sockets, descriptions;
        for (const SerialDevice& device : comPortList(records)) {
            paths << device.path;
            identities << device.identity;
            sockets << device.socket;
            descriptions << device.description;
        }
        QTEST(paths, "paths");
        QTEST(identities, "identities");
        QTEST(sockets, "sockets");
        QTEST(descriptions, "descriptions");
    }

    // What a driver or the registry may name a port, and the list it makes alone.
    void portNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("ports");
        QTest::newRow("case as Windows ignores it") << "com2" << 2;
        QTest::newRow("padded") << " COM4 " << 4;
        QTest::newRow("the last port") << "COM256" << 256;
        QTest::newRow("beyond the last") << "COM257" << 0;
        QTest::newRow("bogus number") << "COM99999" << 0;
        QTest::newRow("no port zero") << "COM0" << 0;
        QTest::newRow("leading zero") << "COM03" << 0;
        QTest::newRow("no number") << "COM" << 0;
        QTest::newRow("trailing letter") << "COM3A" << 0;
        QTest::newRow("printer") << "LPT1" << 0;
    }
    void portNames() {
        QFETCH(QString, name);
        QFETCH(int, ports);
        const QList<SerialDevice> devices = comPortList({registryOnly(name)});
        QCOMPARE(devices.size(), ports);
        if (ports > 0)
            QCOMPARE(devices.back().path, QStringLiteral("\\\\.\\COM%1").arg(ports));
    }

    // A port whose driver failed a call counts as gone only when the system no longer lists it.
    void portStillListed_data() {
        QTest::addColumn<QString>("opened");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<bool>("present");
        QTest::newRow("by its name") << "COM3" << QStringList{"COM1", "COM3"} << true;
        QTest::newRow("by its device path") << "\\\\.\\COM3" << QStringList{"COM3"} << true;
        QTest::newRow("case as Windows ignores it") << "com3" << QStringList{"COM3"} << true;
        QTest::newRow("gone, a lower port left") << "COM3" << QStringList{"COM1"} << false;
        QTest::newRow("gone, a higher port left") << "COM3" << QStringList{"COM4"} << false;
        QTest::newRow("no ports at all") << "\\\\.\\COM1" << QStringList{} << false;
        QTest::newRow("COM10 and above") << "\\\\.\\COM12" << QStringList{"COM12"} << true;
        QTest::newRow("no COM port: nothing to look for")
            << "\\\\.\\CNCA0" << QStringList{} << true;
    }
    void portStillListed() {
        QFETCH(QString, opened);
        QFETCH(QStringList, listed);
        QList<ComPortRecord> records;
        for (const QString& name : listed)
            records << registryOnly(name);
        QTEST(comPortListed(opened, comPortList(records)), "present");
    }
};

QTEST_GUILESS_MAIN(TstWinPortScan)
#include "tst_win_port_scan.moc"
