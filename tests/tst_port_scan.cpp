#include "acquisition/platform_linux_ports.h"

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
    // A USB adapter at `port` ("1-1.2"), interface 0; the driver's port device holds the tty
    // (ttyUSB) or the interface does (ttyACM). No serial number file when `serial` is empty.
    void usb(const QString& name, const QString& port, const QStringList& ids,
             const QString& serial = {}) {
        const QString device = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1/") + port;
        write(device + QStringLiteral("/idVendor"), ids[0]);
        write(device + QStringLiteral("/idProduct"), ids[1]);
        write(device + QStringLiteral("/manufacturer"), ids[2]);
        write(device + QStringLiteral("/product"), ids[3]);
        if (!serial.isEmpty())
            write(device + QStringLiteral("/serial"), serial);
        const QString interface = device + u'/' + port + QStringLiteral(":1.0");
        write(interface + QStringLiteral("/bInterfaceNumber"), QStringLiteral("00"));
        tty(name, name.startsWith(QStringLiteral("ttyACM")) ? interface : interface + u'/' + name);
    }

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
        QTest::addColumn<std::function<void(FakeSys&)>>("plug");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QStringList>("identities");
        QTest::addColumn<QStringList>("descriptions");
        QTest::newRow("USB adapter known by its serial number")
            << std::function([](FakeSys& sys) { sys.usb("ttyUSB0", "1-1", kFtdi, "A12345"); })
            << QStringList{"/dev/ttyUSB0"}
            << QStringList{"usb 0403:6001 serial A12345 interface 00"}
            << QStringList{"/dev/ttyUSB0: FTDI FT232R USB UART serial A12345"};
        QTest::newRow("the same adapter under another node is the same device")
            << std::function([](FakeSys& sys) { sys.usb("ttyUSB2", "1-3", kFtdi, "A12345"); })
            << QStringList{"/dev/ttyUSB2"}
            << QStringList{"usb 0403:6001 serial A12345 interface 00"}
            << QStringList{"/dev/ttyUSB2: FTDI FT232R USB UART serial A12345"};
        QTest::newRow("two adapters of a kind without serial numbers, by USB port path")
            << std::function([](FakeSys& sys) {
                   sys.usb("ttyUSB0", "1-1.2", kCh340);
                   sys.usb("ttyUSB1", "1-1.3", kCh340);
               })
            << QStringList{"/dev/ttyUSB0", "/dev/ttyUSB1"}
            << QStringList{"usb 1a86:7523 at 1-1.2:1.0", "usb 1a86:7523 at 1-1.3:1.0"}
            << QStringList{"/dev/ttyUSB0: USB Serial", "/dev/ttyUSB1: USB Serial"};
        QTest::newRow("built-in port by its node, phantom UARTs left out, ACM after USB")
            << std::function([](FakeSys& sys) {
                   sys.usb("ttyACM0", "1-2", {"2341", "0043", "Arduino", "Uno"}, "75830");
                   sys.uart("ttyS0", "devices/pnp0/00:04");
                   sys.uart("ttyS1", "devices/platform/serial8250", "0");
               })
            << QStringList{"/dev/ttyS0", "/dev/ttyACM0"}
            << QStringList{"node /dev/ttyS0", "usb 2341:0043 serial 75830 interface 00"}
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
            << QStringList{"/dev/ttyS0", "/dev/ttyAMA0",
                           "/dev/ttyUSB0: FTDI FT232R USB UART serial B777"};
    }
    void devicesAndTheirIdentities() {
        QFETCH(std::function<void(FakeSys&)>, plug);
        FakeSys sys;
        plug(sys);
        QStringList paths, identities, descriptions;
        for (const SerialDevice& device : scanSerialDevices(sys.root())) {
            paths << device.path;
            identities << device.identity;
            descriptions << device.description;
        }
        QTEST(paths, "paths");
        QTEST(identities, "identities");
        QTEST(descriptions, "descriptions");
    }
};

QTEST_GUILESS_MAIN(TstPortScan)
#include "tst_port_scan.moc"
