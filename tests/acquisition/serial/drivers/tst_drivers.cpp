// SPDX-License-Identifier: GPL-3.0-or-later
// The logger on the kernel's own serial drivers: a virtual machine (QEMU, software emulation)
// boots this machine's Debian kernel with the host's root file system read-only over 9p and
// runs drivers_guest, the real logger, on an emulated 16550A UART (/dev/ttyS1, a host socket in
// telnet mode, so the host can send a break) and two emulated FTDI adapters (ftdi_sio, each on
// a host socket: connecting plugs it in, closing pulls it out). The data folder is a writable
// 9p share the host reads byte for byte. The host plays the instrument.

#include "support/test_kit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Port numbers in the guest: ttyS0 is its console, ttyS2 and ttyS3 are phantoms.
constexpr int kUartPort = 2; // /dev/ttyS1
constexpr int kUsbPort = 3;  // the first adapter plugged in
constexpr int kBootMs = 120'000;

// An initramfs in the kernel's "newc" cpio format: the files given, and the folders they need.
class Cpio {
public:
    void folder(const QByteArray& name) { entry(name, 040755, {}); }
    void file(const QByteArray& name, const QByteArray& data, int mode = 0100644) {
        entry(name, mode, data);
    }
    QByteArray finish() {
        entry("TRAILER!!!", 0, {});
        return m_out;
    }

private:
    void entry(const QByteArray& name, int mode, const QByteArray& data) {
        const auto hex = [](qsizetype n) {
            return QByteArray::number(qulonglong(n), 16).rightJustified(8, '0');
        };
        m_out += "070701" + hex(++m_ino) + hex(mode) + hex(0) + hex(0) + hex(1) + hex(0) +
                 hex(data.size()) + hex(0) + hex(0) + hex(0) + hex(0) + hex(name.size() + 1) +
                 hex(0) + name + '\0';
        pad();
        m_out += data;
        pad();
    }
    void pad() { m_out.append((4 - m_out.size() % 4) % 4, '\0'); }

    QByteArray m_out;
    qsizetype m_ino = 0;
};

// What the 9p root and the kernel's 9p client need before the host's root can be mounted.
// fscache is part of netfs from Linux 6.8 on.
const QByteArrayList kEarlyModules = {"virtio_ring",
                                      "virtio",
                                      "virtio_pci_modern_dev",
                                      "virtio_pci_legacy_dev",
                                      "virtio_pci",
                                      "netfs",
                                      "fscache",
                                      "9pnet",
                                      "9pnet_virtio",
                                      "9p"};
const QByteArrayList kOptionalModules = {"fscache"};

// Version order: 6.1.0-10 after 6.1.0-9.
bool versionLess(const QString& a, const QString& b) {
    static const QRegularExpression part(QStringLiteral("\\d+|\\D+"));
    QRegularExpressionMatchIterator ia = part.globalMatch(a), ib = part.globalMatch(b);
    while (ia.hasNext() && ib.hasNext()) {
        const QString x = ia.next().captured(), y = ib.next().captured();
        if (x == y)
            continue;
        bool xNumber = false, yNumber = false;
        const qulonglong vx = x.toULongLong(&xNumber), vy = y.toULongLong(&yNumber);
        return xNumber && yNumber ? vx < vy : x < y;
    }
    return ib.hasNext();
}

// The kernel this machine runs, when /boot and /lib/modules have it; otherwise the newest
// generic one, never a cloud or real-time flavour, whose drivers the rig may lack.
QString chooseKernel() {
    const auto usable = [](const QString& version) {
        return QFileInfo::exists(QStringLiteral("/boot/vmlinuz-") + version) &&
               QFileInfo::exists(QStringLiteral("/lib/modules/") + version);
    };
    if (QString running = QSysInfo::kernelVersion(); usable(running))
        return running;
    QStringList generic;
    for (const QString& name :
         QDir(QStringLiteral("/boot")).entryList({QStringLiteral("vmlinuz-*")}, QDir::Files)) {
        const QString version = name.mid(8);
        if (usable(version) && !version.contains(QLatin1String("-cloud-")) &&
            !version.contains(QLatin1String("-rt-")))
            generic << version;
    }
    std::sort(generic.begin(), generic.end(), versionLess);
    return generic.isEmpty() ? QString() : generic.last();
}

// A module of `kernel` as busybox's insmod takes it, uncompressed; empty when it is built
// into the kernel. False, with the reason, when it cannot be had.
bool moduleFile(const QString& kernel, const QByteArray& module, QByteArray& data, QString& why) {
    QProcess find;
    find.start(QStringLiteral("modinfo"),
               {QStringLiteral("-k"), kernel, QStringLiteral("-n"), QString::fromLatin1(module)});
    find.waitForFinished();
    const QString path = QString::fromLocal8Bit(find.readAllStandardOutput().trimmed());
    data.clear();
    if (find.exitStatus() != QProcess::NormalExit || find.exitCode() != 0) {
        why = QStringLiteral("no module %1 for kernel %2: %3")
                  .arg(QString::fromLatin1(module), kernel,
                       QString::fromLocal8Bit(find.readAllStandardError().trimmed()));
        return false;
    }
    if (!path.startsWith(u'/'))
        return true; // "(builtin)"
    const QHash<QString, QString> unpackers = {{QStringLiteral(".ko.xz"), QStringLiteral("xz")},
                                               {QStringLiteral(".ko.zst"), QStringLiteral("zstd")},
                                               {QStringLiteral(".ko.gz"), QStringLiteral("gzip")}};
    for (auto unpacker = unpackers.begin(); unpacker != unpackers.end(); ++unpacker) {
        if (!path.endsWith(unpacker.key()))
            continue;
        QProcess unpack;
        unpack.start(unpacker.value(), {QStringLiteral("-dc"), path});
        unpack.waitForFinished();
        data = unpack.readAllStandardOutput();
        if (unpack.exitStatus() != QProcess::NormalExit || unpack.exitCode() != 0 ||
            data.isEmpty()) {
            why = QStringLiteral("%1 -dc %2 failed").arg(unpacker.value(), path);
            return false;
        }
        return true;
    }
    data = fileText(path);
    if (!path.endsWith(QLatin1String(".ko")) || data.isEmpty()) {
        why = QStringLiteral("cannot read the module %1").arg(path);
        return false;
    }
    return true;
}

// The host's end of an emulated device's socket. For an FTDI adapter, connected is plugged in.
class Line {
public:
    ~Line() { pull(); }
    bool plug(const QString& path) {
        pull();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        if (name.size() >= qsizetype(sizeof address.sun_path))
            return false;
        std::copy(name.begin(), name.end(), address.sun_path);
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // Little waits in the socket: what the host sent is soon with the device, not here.
        const int buffer = 4096;
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        return m_fd >= 0 &&
               ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    void pull() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    // All of `bytes`, unless the device takes none for `patienceMs`.
    bool send(const QByteArray& bytes, int patienceMs = 20'000) {
        for (qsizetype at = 0; at < bytes.size(); at += offer(bytes.mid(at))) {
            pollfd ready{m_fd, POLLOUT, 0};
            if (::poll(&ready, 1, patienceMs) != 1)
                return false;
        }
        return true;
    }
    // As much of `bytes` as the device takes now.
    qsizetype offer(const QByteArray& bytes) {
        const ssize_t n = ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
        return n > 0 ? n : 0;
    }

private:
    int m_fd = -1;
};

} // namespace

class TstDrivers : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_qemu;
    QByteArray m_console; // what the guest said that is not a whole line yet
    QStringList m_said;   // every line it said, for the reason of a failure
    QStringList m_events; // its "@@" lines, oldest first
    qsizetype m_seen = 0; // of them, those a wait has gone past
    Line m_uart, m_usbA, m_usbB, m_usbC;

    QString socketPath(const char* name) const { return m_dir.filePath(QLatin1String(name)); }
    QString dataFolder(const QString& run) const {
        return m_dir.filePath(QStringLiteral("data/") + run);
    }

    void collect() {
        m_console += m_qemu.readAllStandardOutput();
        for (qsizetype end; (end = m_console.indexOf('\n')) >= 0;) {
            const QString line = QString::fromUtf8(m_console.left(end)).trimmed();
            m_console.remove(0, end + 1);
            qDebug("guest: %s", qPrintable(line));
            m_said << line;
            if (line.startsWith(QLatin1String("@@ ")))
                m_events << line.mid(3);
        }
    }
    // The text of the next "<what> <text>" the guest says, or a null string on time-out.
    QString next(const QString& what, int timeoutMs = 10'000) {
        QString found;
        (void)QTest::qWaitFor(
            [&] {
                for (; m_seen < m_events.size(); ++m_seen) {
                    const QString& event = m_events[m_seen];
                    if (event == what || event.startsWith(what + u' ')) {
                        found = event.mid(what.size()).trimmed();
                        ++m_seen;
                        return true;
                    }
                }
                return m_qemu.state() == QProcess::NotRunning;
            },
            timeoutMs);
        return found;
    }
    // Everything the guest said from event `from` on whose kind is `what`.
    QStringList said(const QString& what, qsizetype from) const {
        QStringList found;
        for (qsizetype i = from; i < m_events.size(); ++i)
            if (m_events[i] == what || m_events[i].startsWith(what + u' '))
                found << m_events[i].mid(what.size()).trimmed();
        return found;
    }
    bool command(const QString& line) {
        m_qemu.write(line.toUtf8() + '\n');
        return !next(QStringLiteral("done"), 30'000).isNull();
    }
    static bool plug(Line& line, const QString& path) { return line.plug(path); }
    static void pull(Line& line) { line.pull(); }
    // The instrument sends; the UART's socket speaks telnet, where 0xFF is doubled.
    bool send(Line& line, QByteArray bytes) {
        if (&line == &m_uart)
            bytes.replace("\xff", "\xff\xff");
        return line.send(bytes);
    }
    bool portsAre(const QString& paths) {
        return QTest::qWaitFor(
            [&] {
                return command(QStringLiteral("ports")) &&
                       said(QStringLiteral("ports"), 0).last() == paths;
            },
            20'000);
    }
    // What the run's data file holds below its header, once it holds `bytes` of records.
    QByteArray records(const QString& run, qsizetype bytes, int timeoutMs = 20'000) {
        QByteArray body;
        const QRegularExpression header(
            QStringLiteral("^ Recive Data ,\\d\\d/\\d\\d/\\d\\d,\\d\\d:\\d\\d:\\d\\d,\r\n"));
        (void)QTest::qWaitFor(
            [&] {
                const QStringList files =
                    QDir(dataFolder(run)).entryList({QStringLiteral("*.txt")}, QDir::Files);
                const QByteArray text =
                    files.size() == 1 ? fileText(dataFolder(run) + u'/' + files[0]) : QByteArray();
                const auto match = header.match(QString::fromLatin1(text));
                body =
                    match.hasMatch() ? text.mid(match.capturedLength()) : QByteArray("<no header>");
                return body.size() >= bytes;
            },
            timeoutMs);
        return body;
    }
    // START on `port` at `baud` into a folder of the run's own; the logger is then in step
    // after three line ends.
    bool start(const QString& run, int port, const QByteArray& baud) {
        return command(QStringLiteral("folder /run/data/") + run) &&
               command(QStringLiteral("port %1 %2").arg(port).arg(QString::fromLatin1(baud))) &&
               command(QStringLiteral("start"));
    }

    // Another instrument sends a numbered line every 100 ms for 3 s.
    bool keepSending(Line& line, const QByteArray& name) {
        QElapsedTimer meanwhile;
        meanwhile.start();
        for (int i = 0; meanwhile.elapsed() < 3000; ++i) {
            if (!send(line, name + QByteArray::number(i) + "\r\n"))
                return false;
            QTest::qWait(100);
        }
        return true;
    }
    bool boot(const QString& kernel, QString& why);
    static QList<QByteArray> numberedLines(const QByteArray& name, int count);

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void recordsByteExactAtEveryRate_data();
    void recordsByteExactAtEveryRate();
    void breakOnTheUart();
    void adapterPulledWithABacklogAndPluggedBack();
    void anotherAdapterNeverTakesItsPlace();
    void throughputOverTheAdapter();
    void aCloneNeverTakesItsPlace();
};

// Every byte a record may hold: all but the codes 0 to 15, which the logger drops.
QList<QByteArray> TstDrivers::numberedLines(const QByteArray& name, int count) {
    QList<QByteArray> result;
    for (int i = 0; i < count; ++i) {
        QByteArray line = name + ' ' + QByteArray::number(i).rightJustified(4, '0') + ' ';
        for (int c = 16 + i % 8; c < 256; c += 8)
            line += static_cast<char>(c);
        result << line;
    }
    return result;
}

bool TstDrivers::boot(const QString& kernel, QString& why) {
    const QByteArray modules = "/lib/modules/" + kernel.toLatin1();
    Cpio cpio;
    for (const char* folder : {"bin", "modules", "proc", "sys", "dev", "newroot"})
        cpio.folder(folder);
    cpio.file("bin/busybox", fileText(QStringLiteral("/bin/busybox")), 0100755);
    QByteArray init = "#!/bin/busybox sh\n"
                      "/bin/busybox mount -t proc proc /proc\n"
                      "/bin/busybox mount -t sysfs sys /sys\n"
                      "/bin/busybox mount -t devtmpfs dev /dev\n";
    for (const QByteArray& module : kEarlyModules) {
        QByteArray data;
        QString missing;
        if (!moduleFile(kernel, module, data, missing)) {
            if (kOptionalModules.contains(module))
                continue;
            why = missing;
            return false;
        }
        if (data.isEmpty())
            continue; // built in
        cpio.file("modules/" + module + ".ko", data);
        init += "/bin/busybox insmod /modules/" + module + ".ko\n";
    }
    init +=
        "/bin/busybox mount -t 9p -o ro,trans=virtio,version=9p2000.L,msize=262144 root /newroot\n"
        "for m in proc sys dev; do /bin/busybox mount --move /$m /newroot/$m; done\n"
        "exec /bin/busybox switch_root /newroot /bin/sh " TESSALINE_DRIVERS_SCRIPT
        " " TESSALINE_DRIVERS_GUEST "\n";
    cpio.file("init", init, 0100755);
    QFile initrd(m_dir.filePath(QStringLiteral("initrd.cpio")));
    if (!initrd.open(QIODevice::WriteOnly) || initrd.write(cpio.finish()) < 0) {
        why = QStringLiteral("cannot write the initramfs");
        return false;
    }
    initrd.close();
    QDir().mkpath(m_dir.filePath(QStringLiteral("data")));

    const auto socket = [this](const char* id, bool telnet) {
        return QStringLiteral("socket,id=%1,path=%2,server=on,wait=off%3")
            .arg(QLatin1String(id), socketPath(id),
                 telnet ? QStringLiteral(",telnet=on") : QString());
    };
    m_qemu.setProgram(QStringLiteral("qemu-system-x86_64"));
    m_qemu.setArguments({
        // No KVM inside this machine: the CPU is emulated.
        QStringLiteral("-machine"),
        QStringLiteral("q35,accel=tcg"),
        QStringLiteral("-cpu"),
        QStringLiteral("max"),
        QStringLiteral("-smp"),
        QStringLiteral("2"),
        QStringLiteral("-m"),
        QStringLiteral("1024"),
        QStringLiteral("-display"),
        QStringLiteral("none"),
        QStringLiteral("-monitor"),
        QStringLiteral("none"),
        QStringLiteral("-no-reboot"),
        QStringLiteral("-kernel"),
        QStringLiteral("/boot/vmlinuz-") + kernel,
        QStringLiteral("-initrd"),
        initrd.fileName(),
        QStringLiteral("-append"),
        QStringLiteral("console=ttyS0 quiet loglevel=1 panic=-1"),
        QStringLiteral("-fsdev"),
        QStringLiteral("local,id=root,path=/,security_model=none,readonly=on,multidevs=remap"),
        QStringLiteral("-device"),
        QStringLiteral("virtio-9p-pci,fsdev=root,mount_tag=root"),
        QStringLiteral("-fsdev"),
        QStringLiteral("local,id=data,path=%1,security_model=none")
            .arg(m_dir.filePath(QStringLiteral("data"))),
        QStringLiteral("-device"),
        QStringLiteral("virtio-9p-pci,fsdev=data,mount_tag=data"),
        QStringLiteral("-serial"),
        QStringLiteral("stdio"),
        QStringLiteral("-chardev"),
        socket("uart", true),
        QStringLiteral("-serial"),
        QStringLiteral("chardev:uart"),
        QStringLiteral("-device"),
        QStringLiteral("qemu-xhci,id=xhci"),
        QStringLiteral("-chardev"),
        socket("usbA", false),
        QStringLiteral("-device"),
        QStringLiteral("usb-serial,bus=xhci.0,chardev=usbA,serial=TESSA001"),
        QStringLiteral("-chardev"),
        socket("usbB", false),
        QStringLiteral("-device"),
        QStringLiteral("usb-serial,bus=xhci.0,chardev=usbB,serial=TESSB002"),
        // A clone of the first: cheap adapters report one serial number.
        QStringLiteral("-chardev"),
        socket("usbC", false),
        QStringLiteral("-device"),
        QStringLiteral("usb-serial,bus=xhci.0,chardev=usbC,serial=TESSA001"),
    });
    m_qemu.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_qemu, &QProcess::readyReadStandardOutput, this, &TstDrivers::collect);
    m_qemu.start();
    if (!m_qemu.waitForStarted() || next(QStringLiteral("hello"), kBootMs).isNull()) {
        why = QStringLiteral("the guest did not start the logger; it said: ") +
              m_said.mid(std::max<qsizetype>(0, m_said.size() - 20)).join(u'\n');
        return false;
    }
    return true;
}

void TstDrivers::initTestCase() {
    const QString kernel = chooseKernel();
    QVERIFY2(!kernel.isEmpty(),
             "no kernel in /boot with its modules: setup.sh installs linux-image-amd64");
    // The one reason to skip: Debian's images are readable by all, but a hardened machine may
    // keep them from other accounts. Where the rig must run (CI), that fails instead.
    const QString image = QStringLiteral("/boot/vmlinuz-") + kernel;
    if (!QFileInfo(image).isReadable()) {
        const QByteArray why = QFile::encodeName(image) + " is not readable by this account";
        if (qEnvironmentVariableIntValue("TESSALINE_RIG_REQUIRED") != 0)
            QFAIL(why.constData());
        QSKIP(why.constData());
    }
    QVERIFY2(QFileInfo::exists(QStringLiteral("/bin/busybox")),
             "no /bin/busybox: setup.sh installs busybox-static");
    QElapsedTimer booting;
    booting.start();
    QString why;
    QVERIFY2(boot(kernel, why), qPrintable(why));
    qInfo("the guest ran the logger %lld ms after QEMU started", booting.elapsed());
    QVERIFY(plug(m_uart, socketPath("uart")));
    QVERIFY(plug(m_usbA, socketPath("usbA")));
    QVERIFY(portsAre(QStringLiteral("/dev/ttyS0 /dev/ttyS1 /dev/ttyUSB0")));
    // The first record after the program starts is shown only: spend it here.
    QVERIFY(start(QStringLiteral("warm-up"), kUartPort, "9600"));
    QVERIFY(send(m_uart, "x\ry\rz\rfirst\r"));
    QVERIFY(!next(QStringLiteral("state"), 10'000).isNull());
    QTest::qWait(500);
    QVERIFY(command(QStringLiteral("stop")));
}

void TstDrivers::cleanupTestCase() {
    if (m_qemu.state() == QProcess::NotRunning)
        return;
    m_qemu.write("quit\n");
    if (!m_qemu.waitForFinished(20'000))
        m_qemu.kill();
    m_qemu.waitForFinished();
}

void TstDrivers::recordsByteExactAtEveryRate_data() {
    QTest::addColumn<bool>("uart");
    QTest::addColumn<QByteArray>("baud");
    for (const bool uart : {true, false})
        for (const char* baud : {"9600", "14400", "38400", "115200"})
            QTest::addRow("%s %s", uart ? "16550A" : "FTDI", baud) << uart << QByteArray(baud);
}

void TstDrivers::recordsByteExactAtEveryRate() {
    QFETCH(bool, uart);
    QFETCH(QByteArray, baud);
    const QString run = QLatin1String(uart ? "uart-" : "ftdi-") + QString::fromLatin1(baud);
    const qsizetype from = m_events.size();
    Line& line = uart ? m_uart : m_usbA;
    QVERIFY(start(run, uart ? kUartPort : kUsbPort, baud));
    QVERIFY(command(QStringLiteral("speed")));
    QCOMPARE(said(QStringLiteral("speed"), from).value(0), QString::fromLatin1(baud));
    const QByteArray expected = lines(numberedLines(baud, 40));
    QVERIFY(send(line, "x\ry\rz\r" + expected));
    QCOMPARE(records(run, expected.size()), expected);
    QVERIFY(command(QStringLiteral("stop")));
    QCOMPARE(said(QStringLiteral("message"), from), QStringList()); // the rate was taken
}

void TstDrivers::breakOnTheUart() {
    const qsizetype from = m_events.size();
    QVERIFY(start(QStringLiteral("break"), kUartPort, "9600"));
    const QList<QByteArray> sent = numberedLines("brk", 20);
    QVERIFY(send(m_uart, "x\ry\rz\r" + lines(sent.mid(0, 10))));
    QVERIFY(m_uart.send("\xff\xf3")); // telnet's BREAK: the UART sees a break
    QVERIFY(send(m_uart, lines(sent.mid(10))));
    QCOMPARE(records(QStringLiteral("break"), lines(sent).size()), lines(sent));
    QCOMPARE(next(QStringLiteral("title")), QStringLiteral("Com2 : Break signal detected"));
    QVERIFY(!next(QStringLiteral("beep")).isNull());
    QVERIFY(command(QStringLiteral("stop")));
    QCOMPARE(said(QStringLiteral("message"), from), QStringList());
}

void TstDrivers::adapterPulledWithABacklogAndPluggedBack() {
    const qsizetype from = m_events.size();
    const QString run = QStringLiteral("pulled");
    QVERIFY(start(run, kUsbPort, "115200"));
    QVERIFY(send(m_usbA, "x\ry\rz\r"));
    QVERIFY(!next(QStringLiteral("state"), 10'000).isNull()); // in step
    // The loop falls behind while the adapter delivers: every line is in the logger, none in
    // the file, when the adapter is pulled out.
    QVERIFY(command(QStringLiteral("hold")));
    const QByteArray backlog = lines(numberedLines("before", 300));
    QVERIFY(send(m_usbA, backlog + "cut li"));
    const QString all = QString::number(backlog.size() + 6);
    QVERIFY(QTest::qWaitFor(
        [&] {
            return command(QStringLiteral("received")) &&
                   said(QStringLiteral("received"), 0).last() == all;
        },
        60'000));
    pull(m_usbA);
    QCOMPARE(next(QStringLiteral("title"), 20'000),
             QStringLiteral("Com3 : Device removal detected"));
    QVERIFY(QDir(dataFolder(run)).entryList(QDir::Files).isEmpty()); // nothing written yet
    QVERIFY(command(QStringLiteral("release")));
    QCOMPARE(records(run, backlog.size()), backlog);

    QVERIFY(plug(m_usbA, socketPath("usbA")));
    QCOMPARE(next(QStringLiteral("title"), 20'000), QStringLiteral("Com3 : Device reconnected"));
    const QByteArray after = lines(numberedLines("after", 20));
    QVERIFY(send(m_usbA, "ne, its rest\r\n" + after)); // the cut line is dropped
    QCOMPARE(records(run, backlog.size() + after.size()), backlog + after);
    QVERIFY(command(QStringLiteral("stop")));
    QCOMPARE(said(QStringLiteral("message"), from), QStringList()); // no box
    QCOMPARE(said(QStringLiteral("beep"), from).size(), 1);
}

void TstDrivers::anotherAdapterNeverTakesItsPlace() {
    const qsizetype from = m_events.size();
    QVERIFY(plug(m_usbB, socketPath("usbB")));
    QVERIFY(portsAre(QStringLiteral("/dev/ttyS0 /dev/ttyS1 /dev/ttyUSB0 /dev/ttyUSB1")));
    QVERIFY(start(QStringLiteral("two-adapters"), kUsbPort, "38400")); // A, the balance
    const QList<QByteArray> balance = numberedLines("A", 10);
    QVERIFY(send(m_usbA, "x\ry\rz\r" + lines(balance.mid(0, 5))));
    QCOMPARE(records(QStringLiteral("two-adapters"), lines(balance.mid(0, 5)).size()),
             lines(balance.mid(0, 5)));

    // A out: the pH meter's adapter is now the first one, COM3, and keeps sending.
    pull(m_usbA);
    QCOMPARE(next(QStringLiteral("title"), 20'000),
             QStringLiteral("Com3 : Device removal detected"));
    QVERIFY(portsAre(QStringLiteral("/dev/ttyS0 /dev/ttyS1 /dev/ttyUSB1")));
    QVERIFY(keepSending(m_usbB, "B meter "));
    // The pH meter plugged in again takes A's old node; then A comes back, under another.
    pull(m_usbB);
    QVERIFY(portsAre(QStringLiteral("/dev/ttyS0 /dev/ttyS1")));
    QVERIFY(plug(m_usbB, socketPath("usbB")));
    QVERIFY(portsAre(QStringLiteral("/dev/ttyS0 /dev/ttyS1 /dev/ttyUSB0")));
    QVERIFY(send(m_usbB, "B meter on ttyUSB0\r\n"));
    QTest::qWait(1500);
    QCOMPARE(said(QStringLiteral("title"), from).size(), 1); // still looking for A
    QVERIFY(plug(m_usbA, socketPath("usbA")));
    QVERIFY(portsAre(QStringLiteral("/dev/ttyS0 /dev/ttyS1 /dev/ttyUSB0 /dev/ttyUSB1")));
    QCOMPARE(next(QStringLiteral("title"), 20'000), QStringLiteral("Com3 : Device reconnected"));
    QVERIFY(send(m_usbA, "cut\r\n" + lines(balance.mid(5))));
    QCOMPARE(records(QStringLiteral("two-adapters"), lines(balance).size()), lines(balance));
    QVERIFY(command(QStringLiteral("stop")));
    QVERIFY(send(m_usbB, "B meter after\r\n"));
    pull(m_usbB);
}

// What the emulated adapter carries is the emulator's speed as much as the logger's: printed.
// What it carried must all be in the file.
void TstDrivers::throughputOverTheAdapter() {
    const QString run = QStringLiteral("throughput");
    QVERIFY(start(run, kUsbPort, "921600"));
    QVERIFY(send(m_usbA, "x\ry\rz\r"));
    QVERIFY(command(QStringLiteral("cpu")));
    const long cpuBefore = said(QStringLiteral("cpu"), 0).last().toLong();
    // 92,160 bytes a second offered for ten seconds; what the adapter does not take in time
    // is not sent.
    constexpr int kSeconds = 10;
    constexpr qint64 kRate = 92'160;
    const QByteArray offered = lines(numberedLines("rate", int(kRate * kSeconds / 60)));
    QElapsedTimer clock;
    clock.start();
    qsizetype sent = 0;
    while (clock.elapsed() < kSeconds * qint64{1000}) {
        const qsizetype due = std::min(offered.size(), clock.elapsed() * kRate / 1000);
        sent += m_usbA.offer(offered.mid(sent, due - sent));
        QTest::qWait(2);
    }
    const qsizetype whole = sent == 0 ? 0 : offered.indexOf('\n', sent - 1) + 1;
    QVERIFY(send(m_usbA, offered.mid(sent, whole - sent))); // the last line whole
    sent = whole;
    // Until every line is in, or the file has stopped growing for three seconds.
    QByteArray got;
    for (qsizetype last = -1; got.size() < sent && got.size() != last;) {
        last = got.size();
        got = records(run, sent, 3000);
    }
    const auto seconds = static_cast<double>(clock.elapsed()) / 1000;
    QVERIFY(command(QStringLiteral("cpu")));
    const auto cpuMs =
        static_cast<double>(said(QStringLiteral("cpu"), 0).last().toLong() - cpuBefore);
    QVERIFY(command(QStringLiteral("stop")));
    const QList<QByteArray> sentLines = offered.left(sent).split('\n');
    const QList<QByteArray> gotLines = got.split('\n');
    qsizetype inOrder = 0;
    for (qsizetype at = 0; const QByteArray& line : gotLines) {
        while (at < sentLines.size() && sentLines[at] != line)
            ++at;
        inOrder += at < sentLines.size() && !line.isEmpty();
    }
    const auto records = static_cast<double>(gotLines.size() - 1);
    std::printf("FTDI, 92,160 B/s offered for %d s: the adapter took %.0f B/s (%lld lines); %.0f "
                "records (%lld whole and in order) in %.1f s, %.0f records/s; the logger's CPU "
                "%.1f%% of an emulated core\n",
                kSeconds, static_cast<double>(sent) / kSeconds,
                static_cast<long long>(sentLines.size() - 1), records,
                static_cast<long long>(inOrder), seconds, records / seconds, cpuMs / 10 / seconds);
    QCOMPARE(got, offered.left(sent));
}

void TstDrivers::aCloneNeverTakesItsPlace() {
    // The clone C plugged in first takes ttyUSB0, the balance's adapter A ttyUSB1: A is COM4.
    const qsizetype from = m_events.size();
    const QString run = QStringLiteral("clones");
    pull(m_usbA);
    QVERIFY(portsAre(QStringLiteral("/dev/ttyS0 /dev/ttyS1")));
    QVERIFY(plug(m_usbC, socketPath("usbC")));
    QVERIFY(portsAre(QStringLiteral("/dev/ttyS0 /dev/ttyS1 /dev/ttyUSB0")));
    QVERIFY(plug(m_usbA, socketPath("usbA")));
    QVERIFY(portsAre(QStringLiteral("/dev/ttyS0 /dev/ttyS1 /dev/ttyUSB0 /dev/ttyUSB1")));
    QVERIFY(start(run, kUsbPort + 1, "38400"));
    QCOMPARE(said(QStringLiteral("title"), from),
             QStringList{"Com4 : Another adapter reports the same serial number; this one is "
                         "known by its USB socket"});
    const QList<QByteArray> balance = numberedLines("A", 10);
    QVERIFY(send(m_usbA, "x\ry\rz\r" + lines(balance.mid(0, 5))));
    QCOMPARE(records(run, lines(balance.mid(0, 5)).size()), lines(balance.mid(0, 5)));

    pull(m_usbA);
    QCOMPARE(next(QStringLiteral("title"), 20'000),
             QStringLiteral("Com4 : Device removal detected"));
    QVERIFY(portsAre(QStringLiteral("/dev/ttyS0 /dev/ttyS1 /dev/ttyUSB0")));
    QVERIFY(keepSending(m_usbC, "C clone "));
    QCOMPARE(said(QStringLiteral("title"), from).size(), 2); // still looking for A
    m_seen = m_events.size();
    QVERIFY(plug(m_usbA, socketPath("usbA")));
    QCOMPARE(next(QStringLiteral("title"), 20'000), QStringLiteral("Com4 : Device reconnected"));
    QVERIFY(send(m_usbA, "cut\r\n" + lines(balance.mid(5))));
    QCOMPARE(records(run, lines(balance).size()), lines(balance));
    QVERIFY(command(QStringLiteral("stop")));
    pull(m_usbC);
}

QTEST_GUILESS_MAIN(TstDrivers)
#include "tst_drivers.moc"
