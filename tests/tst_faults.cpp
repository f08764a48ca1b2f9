#include "acquisition/serial_port.h"
#include "acquisition/varlin_def.h"
#include "support/fakes.h"
#include "support/pty_instrument.h"
#include "ui/frm_varlin.h"
#include "ui/status_bar.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <sched.h>
#include <sys/mount.h>

namespace {

QByteArray fileText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray lines(const QList<QByteArray>& records) {
    QByteArray text;
    for (const QByteArray& r : records)
        text += r + "\r\n";
    return text;
}

const QByteArray kHeader = " Recive Data ,26/12/07,10:00:00,\r\n";

// Messages are printed instead of shown, so nothing waits for an OK that never comes.
class PrintingSink final : public MessageSink {
public:
    void showMessage(const QString& text) override {
        std::cerr << "message: " << qPrintable(text) << '\n';
    }
    void beep() override {}
};

// The logger as a child process the test can kill: COM1 is the pty named on the command line.
int runLoggerChild(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString device = QString::fromLocal8Bit(argv[2]);
    SystemClock clock;
    SerialPort port(clock, [device](int16_t n) { return n == 1 ? device : QString(); });
    PrintingSink sink;
    Frm_Varlin window(port, clock, sink);
    window.show();
    varlin_def.SavePath = argv[3];
    window.findChild<QPushButton*>(QStringLiteral("Command1"))->click();
    return app.exec();
}

} // namespace

/// Passes every operation to a real port and counts the loop's polls and the port's events, so
/// a test can tell a quiet logger from one that spins or storms on a failing line.
class CountingPort final : public CommPort {
    Q_OBJECT
public:
    explicit CountingPort(CommPort& inner) : m_inner(inner) {
        connect(&m_inner, &CommPort::lineEvent, this, [this] {
            ++events;
            Q_EMIT lineEvent();
        });
    }

    int32_t selectPort(int16_t n) override { return m_inner.selectPort(n); }
    int32_t setLineSettings(const QByteArray& s) override { return m_inner.setLineSettings(s); }
    int32_t setReadLength(int16_t n) override { return m_inner.setReadLength(n); }
    int32_t setDtr(bool on) override { return m_inner.setDtr(on); }
    int32_t setRts(bool on) override { return m_inner.setRts(on); }
    int32_t setReceiveThreshold(int16_t n) override { return m_inner.setReceiveThreshold(n); }
    int32_t setSendThreshold(int16_t n) override { return m_inner.setSendThreshold(n); }
    int32_t open() override { return m_inner.open(); }
    int32_t close() override { return m_inner.close(); }
    bool isOpen() const override { return m_inner.isOpen(); }
    int32_t discardReceived() override { return m_inner.discardReceived(); }
    int16_t bytesWaiting() override {
        ++polls;
        return m_inner.bytesWaiting();
    }
    QByteArray readChar() override { return m_inner.readChar(); }
    QDateTime lastCharArrival() const override { return m_inner.lastCharArrival(); }
    int32_t sendText(const QByteArray& text) override { return m_inner.sendText(text); }
    int16_t latestEvent() const override { return m_inner.latestEvent(); }

    int polls = 0;  // one per loop pass that looks at the port, more within a busy pass
    int events = 0; // line events passed on to the window
private:
    CommPort& m_inner;
};

// Faults around the running logger; in each, nothing that could be kept is lost.
class TstFaults : public QObject {
    Q_OBJECT

    FakeClock m_clock;
    RecordingSink m_sink;
    QTemporaryDir m_tmp;
    std::unique_ptr<Frm_Varlin> m_main;

    QString dataFile() const { return QFile::decodeName(varlin_def.SavePath) + "/20261207.txt"; }
    QString shown() const { return m_main->findChild<QLineEdit*>("txt_meas_0")->text(); }
    void click(const char* name) {
        QTest::mouseClick(m_main->findChild<QWidget*>(QLatin1String(name)), Qt::LeftButton);
    }
    void openMain(CommPort& port, const QString& folder) {
        varlin_def = VarlinDef{};
        m_sink.messages.clear();
        m_main = std::make_unique<Frm_Varlin>(port, m_clock, m_sink, [] {});
        m_main->show();
        varlin_def.SavePath = QFile::encodeName(folder);
    }
    // START on a fake port, in step, first record shown only; then `records` are written.
    void startReceiving(FakeCommPort& port, const QList<QByteArray>& records) {
        click("Command1");
        QTRY_VERIFY(port.opened);
        port.received = "a\rb\rc\rfirst\r" + lines(records);
        QTRY_COMPARE(shown(), QString::fromLatin1(records.last()));
        QCOMPARE(fileText(dataFile()), kHeader + lines(records));
    }

private Q_SLOTS:
    void cleanup() { m_main.reset(); }
    void deviceVanishesThenComesBack();
    void folderRemovedThenRestored();
    void diskFullThenSpaceReturns();
    void killedMidBurstLeavesWholeLines();
};

void TstFaults::deviceVanishesThenComesBack() {
    int portErrors = 0; // outlives the port, which reports while it closes
    auto instrument = std::make_unique<PtyInstrument>();
    QVERIFY(instrument->isOpen());
    SerialPort serial(
        m_clock, [&instrument](int16_t n) { return n == 1 ? instrument->slavePath() : QString(); });
    CountingPort port(serial);
    const auto windowFirst = qScopeGuard([this] { m_main.reset(); }); // it holds the port
    connect(
        serial.findChild<QSerialPort*>(), &QSerialPort::errorOccurred, this,
        [&portErrors](QSerialPort::SerialPortError e) { portErrors += e != QSerialPort::NoError; });
    openMain(port, m_tmp.path());
    click("Command1");
    QTRY_VERIFY(port.isOpen());
    QVERIFY(instrument->write("x\r\ny\r\nz\r\nfirst\r\nr1\r\nr2\r\n"));
    QTRY_COMPARE(shown(), QStringLiteral("r2"));

    instrument->write("r3 without its line end");
    instrument->closeMaster();
    QTRY_VERIFY(!port.isOpen());
    const QString title = m_main->findChild<QLabel*>("lbl_title")->text();
    // Over half a second the loop polls at its own pace and nothing repeats the failure.
    const int pollsBefore = port.polls;
    const int errorsBefore = portErrors;
    int ticks = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&ticks] { ++ticks; });
    tick.start(10);
    QElapsedTimer window;
    window.start();
    QEventLoop halfSecond; // not qWait, which sleeps between its rounds of events
    QTimer::singleShot(500, &halfSecond, &QEventLoop::quit);
    halfSecond.exec();
    const qint64 elapsed = window.elapsed();
    const int polls = port.polls - pollsBefore;
    qInfo("device gone: %d polls, %d port errors, %d line events, %d messages, %d ticks in %lld ms",
          polls, portErrors, port.events, int(m_sink.messages.size()), ticks, elapsed);
    QVERIFY2(polls > 0 && polls <= elapsed + 2, "the loop stopped or spins without its sleep");
    QVERIFY(ticks > 0); // other events still run
    QCOMPARE(portErrors, errorsBefore);
    QVERIFY(portErrors <= 2);
    QCOMPARE(port.events, 0);
    QCOMPARE(m_main->findChild<QLabel*>("lbl_title")->text(), title);
    QVERIFY(m_sink.messages.isEmpty());

    click("Command4");
    instrument = std::make_unique<PtyInstrument>(); // re-plugged: a new device path
    click("Command1");
    QTRY_VERIFY(port.isOpen());
    QVERIFY(instrument->write("x\r\ny\r\nz\r\nr4\r\nr5\r\n"));
    QTRY_COMPARE(shown(), QStringLiteral("r5"));
    QCOMPARE(fileText(dataFile()), kHeader + lines({"r1", "r2", "r4", "r5"}));
    QVERIFY(m_sink.messages.isEmpty());
}

void TstFaults::folderRemovedThenRestored() {
    FakeCommPort port;
    const auto windowFirst = qScopeGuard([this] { m_main.reset(); });
    const QString folder = m_tmp.path() + "/data";
    QVERIFY(QDir().mkpath(folder));
    openMain(port, folder);
    startReceiving(port, {"r1", "r2"});

    QVERIFY(QDir(folder).removeRecursively());
    port.received = "m1\rm2\rm3\r";
    QTRY_COMPARE(shown(), QStringLiteral("m3"));
    QCOMPARE(m_sink.messages,
             QStringList(3, QStringLiteral("Data file output error.  %1").arg(ENOENT)));

    QVERIFY(QDir().mkpath(folder));
    port.received = "r3\r";
    QTRY_COMPARE(shown(), QStringLiteral("r3"));
    QCOMPARE(fileText(dataFile()), kHeader + lines({"m1", "m2", "m3", "r3"}));
    QCOMPARE(m_sink.messages.size(), 3);
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
    startReceiving(port, {"r1", "r2"});

    QFile filler(disk + "/filler");
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(4096, 'f')) > 0) {
    }
    filler.close();
    // 60 records of 100 bytes: the slack of the data file's last page takes some, then it is full.
    QList<QByteArray> during;
    for (int i = 0; i < 60; ++i)
        during << QByteArray::number(i).rightJustified(3, '0') + QByteArray(97, 'w');
    const QByteArray expected = kHeader + lines({"r1", "r2"}) + lines(during);
    port.received = lines(during).replace('\n', "");
    QTRY_COMPARE(shown(), QString::fromLatin1(during.last()));
    const QByteArray written = fileText(dataFile());
    QVERIFY(written.endsWith("\r\n"));
    QVERIFY2(expected.startsWith(written), "what was already written is damaged");
    const auto notWritten = during.size() - (written.count('\n') - 3);
    qInfo("disk full: %lld of %lld records kept back, %lld messages", qlonglong(notWritten),
          qlonglong(during.size()), qlonglong(m_sink.messages.size()));
    QVERIFY(notWritten > 0);
    QCOMPARE(m_sink.messages,
             QStringList(notWritten, QStringLiteral("Data file output error.  %1").arg(ENOSPC)));

    QVERIFY(QFile::remove(disk + "/filler"));
    port.received = "after\r";
    QTRY_COMPARE(shown(), QStringLiteral("after"));
    QCOMPARE(fileText(dataFile()), expected + "after\r\n");
    QCOMPARE(m_sink.messages.size(), notWritten);
}

void TstFaults::killedMidBurstLeavesWholeLines() {
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

    const QByteArray text = fileText(file);
    QVERIFY(text.startsWith(" Recive Data ,"));
    QVERIFY2(text.endsWith("\r\n"), text.right(40).constData());
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
