// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/platform/end_signals.h"
#include "support/pty_instrument.h"
#include "support/window_kit.h"

#include "acquisition/platform/platform_serial.h"
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <sched.h>
#include <sys/mount.h>

namespace {

// The logger as a child process the test can kill: COM1 is the pty named on the command line.
int runLoggerChild(int argc, char** argv) {
    QApplication app(argc, argv);
    SystemClock clock;
    SerialPort port(clock, portAt(1, QString::fromLocal8Bit(argv[2])));
    LoggerWindow main(port, clock, QFile::decodeName(argv[3]));
    // Messages are printed for the test to see, and nothing waits for an OK.
    main.sink.whileShown = [&main] {
        std::cerr << "message: " << qPrintable(main.sink.messages.last()) << '\n';
    };
    main.control<QPushButton>("Command1")->click();
    return app.exec();
}

} // namespace

// Faults around the running logger; in each, nothing that could be kept is lost, and the
// operator is told without being kept from the window.
class TstFaults : public QObject {
    Q_OBJECT

    FakeClock m_clock;
    QTemporaryDir m_tmp;
    std::unique_ptr<LoggerWindow> m_main;

    QString dataFile() const { return QFile::decodeName(varlin_def.SavePath) + "/20261207.txt"; }
    void openMain(CommPort& port, const QString& folder) {
        m_main = std::make_unique<LoggerWindow>(port, m_clock, folder);
    }
    // START on a fake port, in step, first record shown only; then `records` are written.
    bool startReceiving(FakeCommPort& port, const QList<QByteArray>& records) {
        m_main->click("Command1");
        if (!QTest::qWaitFor([&port] { return port.opened; }))
            return false;
        port.feed("a\rb\rc\rfirst\r" + lines(records));
        const QString last = QString::fromLatin1(records.last());
        return QTest::qWaitFor([&] { return m_main->shown() == last; }) &&
               QTest::qWaitFor([&] { return fileText(dataFile()) == header() + lines(records); });
    }

private Q_SLOTS:
    void cleanup() { m_main.reset(); }
    void deviceVanishesThenComesBack();
    void folderMissingWithLinesQueued();
    void diskFullThenSpaceReturns();
    void endOfSessionWritesWaitingRecords_data();
    void endOfSessionWritesWaitingRecords();
    void killedMidBurstLeavesWholeLines();
};

void TstFaults::deviceVanishesThenComesBack() {
    int portErrors = 0; // read failures; outlives the port, which reports while it closes
    auto instrument = std::make_unique<PtyInstrument>();
    QVERIFY(instrument->isOpen());
    SerialPort serial(m_clock,
                      [&instrument] { return QList{usbAdapter(instrument->slavePath(), "BAL1")}; });
    CountingPort port(serial);
    const auto windowFirst = qScopeGuard([this] { m_main.reset(); }); // it holds the port
    connect(serial.findChild<SystemSerialPort*>(), &SystemSerialPort::errorOccurred, this,
            [&portErrors](SystemSerialPort::SerialPortError e) {
                // A quiet look for the absent device may fail to open; that is no storm.
                portErrors +=
                    e == SystemSerialPort::ReadError || e == SystemSerialPort::ResourceError;
            });
    openMain(port, m_tmp.path());
    m_main->click("Command1");
    QTRY_VERIFY(port.isOpen());
    QVERIFY(instrument->write("x\r\ny\r\nz\r\nfirst\r\n"));
    QTRY_COMPARE(m_main->shown(), QStringLiteral("first"));

    // A burst the port has read in full while the loop lags behind, then the plug is pulled.
    port.held = true;
    QList<QByteArray> burst;
    for (int i = 0; i < 1000; ++i)
        burst << "L" + QByteArray::number(i).rightJustified(4, '0');
    const QByteArray bytes = lines(burst) + "cut off mid-li";
    QVERIFY(instrument->write(bytes));
    QTRY_COMPARE(serial.bytesWaiting(), int16_t(bytes.size()));
    instrument->closeMaster();
    QTRY_COMPARE(m_main->title(), QStringLiteral("Com1 : Device removal detected"));
    QVERIFY(!port.isOpen());
    port.release();
    QTRY_COMPARE(m_main->shown(), QStringLiteral("L0999"));
    QTRY_COMPARE(fileText(dataFile()), header() + lines(burst));

    // While the device stays away (a second and more: at least one quiet look for it), the
    // loop polls at its own pace and nothing repeats.
    const int pollsBefore = port.polls;
    const int errorsBefore = portErrors;
    int ticks = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&ticks] { ++ticks; });
    tick.start(10);
    QElapsedTimer window;
    window.start();
    QEventLoop away; // not qWait, which sleeps between its rounds of events
    QTimer::singleShot(1200, &away, &QEventLoop::quit);
    away.exec();
    const qint64 elapsed = window.elapsed();
    const int polls = port.polls - pollsBefore;
    qInfo("device gone: %d polls, %d port errors, %d line events, %d messages, %d beeps, %d ticks "
          "in %lld ms",
          polls, portErrors, port.events, int(m_main->sink.messages.size()), m_main->sink.beeps,
          ticks, elapsed);
    QVERIFY2(polls > 0 && polls <= elapsed + 3, "the loop stopped or spins without its sleep");
    QVERIFY(ticks > 0); // other events still run
    QCOMPARE(portErrors, errorsBefore);
    QVERIFY(portErrors <= 2);
    QCOMPARE(port.events, 0);
    QCOMPARE(m_main->title(), QStringLiteral("Com1 : Device removal detected"));
    QCOMPARE(m_main->panel(3), QStringLiteral("RcvData..."));
    QVERIFY(m_main->sink.messages.isEmpty());
    QCOMPARE(m_main->sink.beeps, 1);

    instrument = std::make_unique<PtyInstrument>(); // plugged in again: a new device, same number
    QTRY_COMPARE(m_main->title(), QStringLiteral("Com1 : Device reconnected"));
    QVERIFY(port.isOpen());
    QVERIFY(instrument->write("ne, its rest\r\nr4\r\nr5\r\n"));
    QTRY_COMPARE(m_main->shown(), QStringLiteral("r5"));
    QCOMPARE(fileText(dataFile()), header() + lines(burst) + lines({"r4", "r5"}));
    QCOMPARE(m_main->panel(3), QStringLiteral("RcvData..."));
    QVERIFY(m_main->sink.messages.isEmpty());
    QCOMPARE(m_main->sink.beeps, 1);
}

void TstFaults::folderMissingWithLinesQueued() {
    FakeCommPort port;
    const auto windowFirst = qScopeGuard([this] { m_main.reset(); });
    const QString folder = m_tmp.path() + "/data";
    QVERIFY(QDir().mkpath(folder));
    openMain(port, folder);
    QVERIFY(startReceiving(port, {"r1", "r2"}));
    const QString error = QStringLiteral("Data file output error.  %1").arg(ENOENT);

    // Twenty lines come; the operator dismisses the box and presses STOP at once. The loop
    // goes on receiving while the box is up.
    QVERIFY(QDir(folder).removeRecursively());
    QElapsedTimer failing;
    failing.start();
    m_main->sink.whileShown = [this] {
        QTimer::singleShot(0, this, [this] { m_main->click("Command4"); });
    };
    QList<QByteArray> queued;
    for (int i = 1; i <= 20; ++i)
        queued << "q" + QByteArray::number(i);
    port.feed(lines(queued));
    QTRY_COMPARE(m_main->panel(3), QStringLiteral("Stop..."));
    QTRY_COMPARE(m_main->control("Command1")->isEnabled(), true);
    QCOMPARE(m_main->sink.messages, QStringList{error});
    const auto taken = queued.size() - port.received.count('\r'); // before STOP
    QVERIFY(taken >= 1);
    QTRY_COMPARE(m_main->shown(), QString::fromLatin1(queued[taken - 1]));
    QTRY_COMPARE(m_main->title(), error + QStringLiteral(" : %1 records waiting").arg(taken));
    m_main->sink.whileShown = nullptr;

    // Twenty more fail while records wait: no box, the count, a beep at most once a second.
    m_main->click("Command1");
    QTRY_VERIFY(port.opened);
    QList<QByteArray> more;
    for (int i = 1; i <= 20; ++i)
        more << "w" + QByteArray::number(i);
    port.feed("a\rb\rc\r" + lines(more));
    QTRY_COMPARE(m_main->title(),
                 error + QStringLiteral(" : %1 records waiting").arg(taken + more.size()));
    QTRY_COMPARE(m_main->shown(), QStringLiteral("w20"));
    QCOMPARE(m_main->sink.messages, QStringList{error});
    QVERIFY2(m_main->sink.beeps >= 1 && m_main->sink.beeps <= 1 + failing.elapsed() / 1000,
             qPrintable(QString::number(m_main->sink.beeps)));

    // The folder comes back with the instrument quiet: all of them go in, in order.
    QElapsedTimer back;
    back.start();
    QVERIFY(QDir().mkpath(folder));
    QTRY_COMPARE(m_main->title(),
                 QStringLiteral("%1 waiting records written").arg(taken + more.size()));
    qInfo("waiting records written %lld ms after the folder came back", back.elapsed());
    QCOMPARE(fileText(dataFile()), header() + lines(queued.mid(0, taken)) + lines(more));

    // Nothing waits any more: the next failure is shown in a box again.
    QVERIFY(QDir(folder).removeRecursively());
    port.feed("n1\r");
    QTRY_COMPARE(m_main->sink.messages, QStringList({error, error}));
}

void TstFaults::diskFullThenSpaceReturns() {
    // A tiny file system of our own, visible to this thread only and gone with the process.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        QSKIP(qPrintable(QStringLiteral("a private mount namespace needs CAP_SYS_ADMIN: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(errno)))));
    const QString disk = m_tmp.path() + "/disk";
    QVERIFY(QDir().mkpath(disk));
    QVERIFY2(::mount("tmpfs", QFile::encodeName(disk).constData(), "tmpfs", 0, "size=16k") == 0,
             std::strerror(errno));
    const auto unmount =
        qScopeGuard([&disk] { ::umount2(QFile::encodeName(disk).constData(), MNT_DETACH); });
    FakeCommPort port;
    const auto windowFirst = qScopeGuard([this] { m_main.reset(); });
    openMain(port, disk);
    QVERIFY(startReceiving(port, {"r1", "r2"}));

    QFile filler(disk + "/filler");
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(4096, 'f')) > 0) {
    }
    filler.close();
    // 60 records of 100 bytes: the slack of the data file's last page takes some, then it is full.
    QList<QByteArray> during;
    for (int i = 0; i < 60; ++i)
        during << QByteArray::number(i).rightJustified(3, '0') + QByteArray(97, 'w');
    const QByteArray expected = header() + lines({"r1", "r2"}) + lines(during);
    port.feed(lines(during).replace('\n', ""));
    QTRY_COMPARE(m_main->shown(), QString::fromLatin1(during.last()));
    // Every record has been tried, and the full disk has taken what it could.
    QTRY_VERIFY(!m_main->sink.messages.isEmpty());
    QTRY_COMPARE(m_main->logger.loop().waitingRecords(),
                 during.size() - (fileText(dataFile()).count('\n') - 3));
    const QByteArray written = fileText(dataFile());
    QVERIFY(written.endsWith("\r\n"));
    QVERIFY2(expected.startsWith(written), "what was already written is damaged");
    const auto notWritten = during.size() - (written.count('\n') - 3);
    qInfo("disk full: %lld of %lld records kept back, %lld messages", qlonglong(notWritten),
          qlonglong(during.size()), qlonglong(m_main->sink.messages.size()));
    QVERIFY(notWritten > 0);
    // One box for the first failed write; then only the count.
    const QString error = QStringLiteral("Data file output error.  %1").arg(ENOSPC);
    QCOMPARE(m_main->sink.messages, QStringList{error});
    QTRY_COMPARE(m_main->title(), error + QStringLiteral(" : %1 records waiting").arg(notWritten));

    QVERIFY(QFile::remove(disk + "/filler"));
    QTRY_COMPARE(m_main->title(), QStringLiteral("%1 waiting records written").arg(notWritten));
    QCOMPARE(fileText(dataFile()), expected);
    port.feed("after\r");
    QTRY_COMPARE(m_main->shown(), QStringLiteral("after"));
    QVERIFY(recordsWritten(m_main->logger));
    QCOMPARE(fileText(dataFile()), expected + "after\r\n");
    QCOMPARE(m_main->sink.messages.size(), 1);
}

void TstFaults::endOfSessionWritesWaitingRecords_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("END") << "END";
    QTest::newRow("close box") << "close box";
    QTest::newRow("SIGTERM, shutdown") << "SIGTERM";
    QTest::newRow("SIGHUP, logout") << "SIGHUP";
}

void TstFaults::endOfSessionWritesWaitingRecords() {
    QFETCH(QString, how);
    FakeCommPort port;
    EndSignals endSignals; // as main() wires it
    QVERIFY(endSignals.isWatching());
    const auto windowFirst = qScopeGuard([this] { m_main.reset(); });
    const QString folder = m_tmp.path() + "/end " + how;
    openMain(port, folder);
    connect(&endSignals, &EndSignals::endRequested, &m_main->window, &Frm_Varlin::endProgram);
    m_main->click("Command1");
    QTRY_VERIFY(port.opened);
    const QList<QByteArray> records{"w1", "w2", "w3", "w4", "w5"};
    port.feed("a\rb\rc\rfirst\r" + lines(records));
    QTRY_COMPARE(m_main->shown(), QStringLiteral("w5"));
    QCOMPARE(m_main->title(),
             QStringLiteral("Data file output error.  %1 : 5 records waiting").arg(ENOENT));
    m_main->click("Command4");

    // The folder is back, and the session ends before the next retry could write them.
    QVERIFY(QDir().mkpath(folder));
    if (how == "END")
        m_main->click("Command3");
    else if (how == "close box")
        QVERIFY(m_main->window.windowHandle()->close());
    else
        ::raise(how == "SIGTERM" ? SIGTERM : SIGHUP);
    QTRY_COMPARE(m_main->ends, 1);
    QCOMPARE(fileText(dataFile()), header() + lines(records));
}

void TstFaults::killedMidBurstLeavesWholeLines() {
    if (!canStartPrograms())
        QSKIP("this process cannot start the logger as a child (user-mode emulation refuses "
              "QProcess's vfork-style clone)");
    PtyInstrument instrument;
    QVERIFY(instrument.isOpen());
    const QString folder = m_tmp.path() + "/killed";
    QVERIFY(QDir().mkpath(folder));
    QProcess child; // inherits the test's environment, headless platform included
    child.start(QCoreApplication::applicationFilePath(),
                {"--logger-child", instrument.slavePath(), folder});
    QVERIFY(child.waitForStarted());
    // Number the lines so that order and loss show too; resend until the logger writes.
    const auto line = [](int n) {
        return "L" + QByteArray::number(n).rightJustified(6, '0') + ",+0012.345 g\r\n";
    };
    const QString file = folder + "/" + QDate::currentDate().toString(u"yyyyMMdd") + ".txt";
    int sent = 0;
    QElapsedTimer wait;
    wait.start();
    while (fileText(file).count('\n') < 2 && wait.elapsed() < 20000) {
        QVERIFY(instrument.write(line(sent++)));
        QTest::qWait(20);
    }
    QVERIFY2(fileText(file).count('\n') >= 2, child.readAllStandardError().constData());
    constexpr int kBurst = 20000;
    const int killAt = sent + kBurst / 2;
    while (sent < killAt) {
        QByteArray chunk;
        for (int i = 0; i < 200; ++i)
            chunk += line(sent++);
        QVERIFY(instrument.write(chunk));
    }
    child.kill();
    QVERIFY(child.waitForFinished());
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    QByteArray text = fileText(file);
    QVERIFY(text.startsWith(" Recive Data ,"));
    // The kernel ends a write to a file where a kill finds it, between pages: the last line may
    // be cut short, and only by the kill (the next START completes it or ends it).
    const QByteArray cut = text.mid(text.lastIndexOf('\n') + 1);
    text.chop(cut.size());
    const QList<QByteArray> records = text.split('\n').mid(1, text.count('\n') - 1);
    static const QRegularExpression kRecord(QStringLiteral("^L(\\d{6}),\\+0012\\.345 g\\r$"));
    int previous = -1;
    for (const QByteArray& r : records) {
        const auto match = kRecord.match(QString::fromLatin1(r));
        QVERIFY2(match.hasMatch(), r.constData());
        const int n = match.captured(1).toInt();
        QVERIFY2(previous < 0 || n == previous + 1, r.constData());
        previous = n;
    }
    QVERIFY2(line(previous + 1).startsWith(cut), cut.constData());
    qInfo("killed: %lld whole records in the file, %d lines sent", qlonglong(records.size()), sent);
    QVERIFY(records.size() > 1);
    QVERIFY(!child.readAllStandardError().contains("message:"));
}

int main(int argc, char** argv) {
    if (argc == 4 && qstrcmp(argv[1], "--logger-child") == 0)
        return runLoggerChild(argc, argv);
    QApplication app(argc, argv);
    TstFaults test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
