// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/platform/linux/platform_linux_ports.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A sysfs tree as the kernel lays it out, in a folder of the test's: devices under devices/,
// and class/tty/<name>/device linking to the device a tty belongs to. What cannot be built
// stops the test program.
class FakeSys {
public:
    QString root() const { return m_dir.path(); }

    // A UART: `type` 0 is a phantom 8250 port without hardware.
    void uart(const QString& name, const QString& parent, const char* type = "4") {
        tty(name, parent + u'/' + name, type);
    }
    // A USB adapter at `port` ("1-1.2"); the driver's port device holds the tty (ttyUSB), with
    // its `port_number` when given, or the interface does (ttyACM). No serial number file
    // when `serial` is empty.
    void usb(const QString& name, const QString& port, const QStringList& ids,
             const QString& serial = {}, int interfaceNumber = 0,
             const char* portNumber = nullptr) {
        const QString device = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1/") + port;
        write(device + QStringLiteral("/idVendor"), ids[0]);
        write(device + QStringLiteral("/idProduct"), ids[1]);
        write(device + QStringLiteral("/manufacturer"), ids[2]);
        write(device + QStringLiteral("/product"), ids[3]);
        if (!serial.isEmpty())
            write(device + QStringLiteral("/serial"), serial);
        const QString interface =
            device + u'/' + port + QStringLiteral(":1.%1").arg(interfaceNumber);
        write(interface + QStringLiteral("/bInterfaceNumber"),
              QStringLiteral("%1").arg(interfaceNumber, 2, 10, QLatin1Char('0')));
        if (portNumber)
            write(interface + u'/' + name + QStringLiteral("/port_number"),
                  QString::fromLatin1(portNumber));
        tty(name, name.startsWith(QStringLiteral("ttyACM")) ? interface : interface + u'/' + name);
    }
    // A file the kernel took away while the scan read the tree.
    void remove(const QString& relative) { QFile::remove(m_dir.filePath(relative)); }

private:
    void write(const QString& relative, const QString& text) {
        const QString path = m_dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(text.toLatin1() + '\n') < 0)
            qFatal("cannot write %s", qPrintable(path));
    }
    void tty(const QString& name, const QString& device, const char* type = nullptr) {
        const QString dir = m_dir.filePath(QStringLiteral("class/tty/") + name);
        QDir().mkpath(dir);
        QDir().mkpath(m_dir.filePath(device));
        if (!QFile::link(m_dir.filePath(device), dir + QStringLiteral("/device")))
            qFatal("cannot link %s", qPrintable(dir));
        if (type)
            write(QStringLiteral("class/tty/") + name + QStringLiteral("/type"),
                  QString::fromLatin1(type));
    }

    QTemporaryDir m_dir;
};

const QStringList kFtdi = {"0403", "6001", "FTDI", "FT232R USB UART"};
const QStringList kCh340 = {"1a86", "7523", "", "USB Serial"};

} // namespace

Q_DECLARE_METATYPE(std::function<void(FakeSys&)>)

// Which device each COM number is, and what tells one device from another, read from a sysfs
// tree laid out as the kernel lays it out.
class TstPortScan : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void devicesAndTheirIdentities_data() {
        devicesAndTheirIdentities_data_columns();
        QTest::newRow("USB adapter known by its serial number")
            << std::function([](FakeSys& sys) { sys.usb("ttyUSB0", "1-1", kFtdi, "A12345"); })
            << QStringList{"/dev/ttyUSB0"}
            << QStringList{"usb 0403:6001 serial A12345 interface 00"} << QStringList{"1-1:1.0"}
            << QStringList{"/dev/ttyUSB0: FTDI FT232R USB UART serial A12345"};
        QTest::newRow("the same adapter under another node is the same device")
            << std::function([](FakeSys& sys) { sys.usb("ttyUSB2", "1-3", kFtdi, "A12345"); })
            << QStringList{"/dev/ttyUSB2"}
            << QStringList{"usb 0403:6001 serial A12345 interface 00"} << QStringList{"1-3:1.0"}
            << QStringList{"/dev/ttyUSB2: FTDI FT232R USB UART serial A12345"};
        QTest::newRow("two adapters of a kind without serial numbers, by USB port path")
            << std::function([](FakeSys& sys) {
                   sys.usb("ttyUSB0", "1-1.2", kCh340);
                   sys.usb("ttyUSB1", "1-1.3", kCh340);
               })
            << QStringList{"/dev/ttyUSB0", "/dev/ttyUSB1"}
            << QStringList{"usb 1a86:7523 at 1-1.2:1.0", "usb 1a86:7523 at 1-1.3:1.0"}
            << QStringList{"1-1.2:1.0", "1-1.3:1.0"}
            << QStringList{"/dev/ttyUSB0: USB Serial", "/dev/ttyUSB1: USB Serial"};
        QTest::newRow("built-in port by its node, phantom UARTs left out, ACM after USB")
            << std::function([](FakeSys& sys) {
                   sys.usb("ttyACM0", "1-2", {"2341", "0043", "Arduino", "Uno"}, "75830");
                   sys.uart("ttyS0", "devices/pnp0/00:04");
                   sys.uart("ttyS1", "devices/platform/serial8250", "0");
               })
            << QStringList{"/dev/ttyS0", "/dev/ttyACM0"}
            << QStringList{"node /dev/ttyS0", "usb 2341:0043 serial 75830 interface 00"}
            << QStringList{"", "1-2:1.0"}
            << QStringList{"/dev/ttyS0", "/dev/ttyACM0: Arduino Uno serial 75830"};
        // A Raspberry Pi: the mini UART is a real 8250 (ttyS0), the PL011 an AMBA device.
        QTest::newRow("Raspberry Pi: mini UART, PL011, then a USB adapter")
            << std::function([](FakeSys& sys) {
                   sys.usb("ttyUSB0", "1-1.1", kFtdi, "B777");
                   sys.uart("ttyAMA0", "devices/platform/soc/fe201000.serial");
                   sys.uart("ttyS0", "devices/platform/soc/fe215040.serial");
               })
            << QStringList{"/dev/ttyS0", "/dev/ttyAMA0", "/dev/ttyUSB0"}
            << QStringList{"node /dev/ttyS0", "node /dev/ttyAMA0",
                           "usb 0403:6001 serial B777 interface 00"}
            << QStringList{"", "", "1-1.1:1.0"}
            << QStringList{"/dev/ttyS0", "/dev/ttyAMA0",
                           "/dev/ttyUSB0: FTDI FT232R USB UART serial B777"};
    }
    // Cheap adapters: what a reconnect may not mistake for one another.
    void cheapAdapters_data() {
        devicesAndTheirIdentities_data_columns();
        QTest::newRow("two clones with one serial number: one identity, two sockets")
            << std::function([](FakeSys& sys) {
                   sys.usb("ttyUSB0", "1-1", kFtdi, "A50285BI");
                   sys.usb("ttyUSB1", "1-2", kFtdi, "A50285BI");
               })
            << QStringList{"/dev/ttyUSB0", "/dev/ttyUSB1"}
            << QStringList{"usb 0403:6001 serial A50285BI interface 00",
                           "usb 0403:6001 serial A50285BI interface 00"}
            << QStringList{"1-1:1.0", "1-2:1.0"}
            << QStringList{"/dev/ttyUSB0: FTDI FT232R USB UART serial A50285BI",
                           "/dev/ttyUSB1: FTDI FT232R USB UART serial A50285BI"};
        QTest::newRow("four ports on one interface, by the driver's port number")
            << std::function([](FakeSys& sys) {
                   for (const char* n : {"0", "1", "2", "3"})
                       sys.usb(QStringLiteral("ttyUSB") + QLatin1String(n), "1-4",
                               {"9710", "7840", "MosChip", "MCS7840"}, "M4", 0, n);
               })
            << QStringList{"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3"}
            << QStringList{"usb 9710:7840 serial M4 interface 00 port 0",
                           "usb 9710:7840 serial M4 interface 00 port 1",
                           "usb 9710:7840 serial M4 interface 00 port 2",
                           "usb 9710:7840 serial M4 interface 00 port 3"}
            << QStringList{"1-4:1.0", "1-4:1.0", "1-4:1.0", "1-4:1.0"} << QStringList(4, QString());
        QTest::newRow("a second interface of one adapter (FT2232)")
            << std::function([](FakeSys& sys) {
                   const QStringList ft2232 = {"0403", "6010", "FTDI", "Dual RS232"};
                   sys.usb("ttyUSB0", "1-1", ft2232, "FT22", 0, "0");
                   sys.usb("ttyUSB1", "1-1", ft2232, "FT22", 1, "0");
               })
            << QStringList{"/dev/ttyUSB0", "/dev/ttyUSB1"}
            << QStringList{"usb 0403:6010 serial FT22 interface 00 port 0",
                           "usb 0403:6010 serial FT22 interface 01 port 0"}
            << QStringList{"1-1:1.0", "1-1:1.1"} << QStringList(2, QString());
        QTest::newRow("an adapter leaving while it is read is nobody, never its node")
            << std::function([](FakeSys& sys) {
                   sys.usb("ttyUSB0", "1-1", kFtdi, "A12345");
                   sys.remove("devices/pci0000:00/0000:00:14.0/usb1/1-1/idVendor");
               })
            << QStringList{"/dev/ttyUSB0"} << QStringList{""} << QStringList{""}
            << QStringList{"/dev/ttyUSB0"};
    }
    void cheapAdapters() { devicesAndTheirIdentities(); }

    void devicesAndTheirIdentities() {
        QFETCH(std::function<void(FakeSys&)>, plug);
        FakeSys sys;
        plug(sys);
        QFETCH(QStringList, descriptions);
        QStringList paths, identities, sockets;
        const QList<SerialDevice> devices = scanSerialDevices(sys.root());
        for (const SerialDevice& device : devices) {
            paths << device.path;
            identities << device.identity;
            sockets << device.socket;
        }
        QTEST(paths, "paths");
        QTEST(identities, "identities");
        QTEST(sockets, "sockets");
        for (qsizetype i = 0; i < devices.size(); ++i)
            if (!descriptions.value(i).isEmpty()) // an empty one is not compared
                QCOMPARE(devices[i].description, descriptions[i]);
    }

private:
    static void devicesAndTheirIdentities_data_columns() {
        QTest::addColumn<std::function<void(FakeSys&)>>("plug");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QStringList>("identities");
        QTest::addColumn<QStringList>("sockets");
        QTest::addColumn<QStringList>("descriptions");
    }
};

QTEST_GUILESS_MAIN(TstPortScan)
#include "tst_port_scan.moc"
