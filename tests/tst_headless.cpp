// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/pty_instrument.h"
#include "support/test_kit.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

const QRegularExpression kJournalLine(QStringLiteral(
    R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d) (error|warning|notice|info): \S)"));

// `tessaline --headless` as a service starts it: no display, nothing of the test's platform.
struct Headless {
    Headless(const QString& stateHome, const QStringList& arguments) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "JOURNAL_STREAM", "XDG_RUNTIME_DIR"})
            env.remove(name);
        env.insert("XDG_STATE_HOME", stateHome);
        process.setProcessEnvironment(env);
        process.start(TESSALINE_PROGRAM_PATH, QStringList{"--headless"} + arguments);
    }
    ~Headless() {
        process.kill();
        process.waitForFinished();
    }
    bool saidLike(const QString& pattern, int timeoutMs = 30000) {
        const QRegularExpression line(pattern, QRegularExpression::MultilineOption);
        return QTest::qWaitFor(
            [&] {
                return line.match(QString::fromUtf8(said += process.readAllStandardError()))
                    .hasMatch();
            },
            timeoutMs);
    }
    // Ended as the system ends a service: the exit code, or -1 when it did not end normally.
    int end(int signal = SIGTERM) {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        const bool ended = process.waitForFinished(60000);
        said += process.readAllStandardError();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QProcess process;
    QByteArray said;
};

// START drops what the port held, then counts three CRs to get in step: CRs the drop took (it
// may come after the port is named) are made up for one at a time, each given its time to be
// read. The first record after is shown only.
bool inStep(Headless& logger, PtyInstrument& instrument) {
    if (!logger.saidLike(QStringLiteral(R"(: COM\d+ is )")))
        return false;
    const QString inStep = QStringLiteral("status: RcvData");
    instrument.write("a\rb\rc\r");
    for (int madeUp = 0; madeUp < 3 && !logger.saidLike(inStep, 10000); ++madeUp)
        instrument.write("\r");
    return logger.saidLike(inStep, 10000) && instrument.write("first\r");
}

// What the logger left unread on the line: the test holds the pty's slave side open, so the
// terminal keeps it once the logger has gone.
QByteArray leftOnTheLine(const PtyInstrument& instrument) {
    ::fcntl(instrument.slaveFd(), F_SETFL, O_NONBLOCK);
    QByteArray left;
    for (int quiet = 0; quiet < 50; ++quiet) {
        char buffer[4096];
        const ssize_t n = ::read(instrument.slaveFd(), buffer, sizeof buffer);
        if (n > 0)
            left.append(buffer, n), quiet = 0;
        QTest::qWait(10);
    }
    return left;
}

QList<QByteArray> readings(int count, const QByteArray& prefix = "ST,+") {
    QList<QByteArray> lines;
    for (int i = 0; i < count; ++i)
        lines << prefix + QByteArray::number(i).rightJustified(5, '0') + ".34 g";
    return lines;
}

// The one data file's records, after its header (of whatever time) with the comment "bench 4".
QByteArray records(const QString& folder) {
    const QStringList files = QDir(folder).entryList({"*.txt"}, QDir::Files);
    const QByteArray text = files.size() == 1 ? fileText(QDir(folder).filePath(files.first()))
                                              : "<" + files.join(' ').toUtf8() + ">";
    static const QRegularExpression header(
        QStringLiteral(R"(^ Recive Data ,\d\d/\d\d/\d\d,\d\d:\d\d:\d\d,bench 4\r\n)"));
    const auto match = header.match(QString::fromLatin1(text));
    return match.hasMatch() ? text.mid(match.capturedLength()) : "<no header> " + text;
}

} // namespace

// The logger without a window, started as a service starts it, on a pty instrument.
class TstHeadless : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_data;

    QStringList options(const QString& port, const char* stamp = "none") const {
        return {"--port", port,      "--baud", "4800",      "--folder",
                m_data,   "--stamp", stamp,    "--comment", "bench 4"};
    }

private Q_SLOTS:
    void initTestCase() {
        if (!canStartPrograms())
            QSKIP("this process cannot start the program");
    }
    void init() {
        const char* row = QTest::currentDataTag();
        m_data = m_dir.filePath(row && *row ? row : QTest::currentTestFunction());
        QVERIFY(QDir().mkpath(m_data));
    }

    // Without a display, and without the libraries that would want one.
    void linksNoWidgets() {
        QFile binary(QFileInfo(QStringLiteral(TESSALINE_PROGRAM_PATH))
                         .dir()
                         .filePath(QStringLiteral("tessaline-headless")));
        QVERIFY(binary.open(QIODevice::ReadOnly));
        const QByteArray bytes = binary.readAll();
        QVERIFY(bytes.contains("libQt6Core.so"));
        QVERIFY(!bytes.contains("libQt6Widgets.so"));
        QVERIFY(!bytes.contains("libQt6Gui.so"));
    }

    void recordsAndJournal_data() {
        QTest::addColumn<QByteArray>("stamp");
        QTest::newRow("--stamp none") << QByteArray("none");
        QTest::newRow("--stamp ms") << QByteArray("ms");
    }
    void recordsAndJournal() {
        QFETCH(QByteArray, stamp);
        PtyInstrument instrument;
        Headless logger(m_dir.filePath("state"), options(instrument.slavePath(), stamp));
        QVERIFY2(inStep(logger, instrument), logger.said.constData());
        const QList<QByteArray> sent = readings(200);
        for (const QByteArray& line : sent)
            QVERIFY(instrument.write(line + "\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(records(m_data).contains(sent.last()), 30000);
        QCOMPARE(logger.end(), 0);
        QString written = QString::fromLatin1(records(m_data));
        static const QRegularExpression kStamp(
            QStringLiteral(R"(^\d{4}/\d\d/\d\d,\d\d:\d\d:\d\d\.\d{3},)"),
            QRegularExpression::MultilineOption);
        QCOMPARE(written.count(kStamp), stamp == "ms" ? sent.size() : 0);
        QCOMPARE(written.remove(kStamp).toLatin1(), lines(sent));

        // A line an event, never one a record: the start with its options, START with the
        // settings in force, the end.
        QList<QByteArray> journal = logger.said.split('\n');
        QCOMPARE(journal.takeLast(), QByteArray()); // every line ends
        QVERIFY2(journal.size() < 20, logger.said.constData());
        const auto said = [&journal](const QString& text) {
            return std::any_of(journal.begin(), journal.end(), [&](const QByteArray& line) {
                const QString each = QString::fromUtf8(line);
                return kJournalLine.match(each).hasMatch() && each.contains(text);
            });
        };
        QVERIFY(said(" started without a window; options: --headless " +
                     options(instrument.slavePath(), stamp).join(' ')));
        QVERIFY(said(QStringLiteral(" notice: START: %1 at 4800 baud, daily files in %2, ")
                         .arg(instrument.slavePath(), m_data)));
        QVERIFY(journal.last().endsWith(" notice: END") && said(" notice: END"));
        QVERIFY2(std::all_of(journal.begin(), journal.end(),
                             [](const QByteArray& each) {
                                 return kJournalLine.match(QString::fromUtf8(each)).hasMatch();
                             }),
                 logger.said.constData());
    }

    void endSignalWritesWaitingRecords_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }
    // The end asked for right after a burst: each line the logger took from the line is
    // written, once and in order; only what it had not read may be missing, at the end.
    void endSignalWritesWaitingRecords() {
        QFETCH(int, signal);
        PtyInstrument instrument;
        Headless logger(m_dir.filePath("state"), options(instrument.slavePath()));
        QVERIFY2(inStep(logger, instrument), logger.said.constData());
        const QList<QByteArray> burst = readings(3000);
        const QByteArray sent = lines(burst);
        QVERIFY(instrument.write(sent));
        QCOMPARE(logger.end(signal), 0);
        const QByteArray left = leftOnTheLine(instrument);
        QVERIFY2(sent.endsWith(left), left.left(80).constData());
        const qsizetype taken = sent.size() - left.size();
        QCOMPARE(records(m_data), lines(burst.mid(0, sent.left(taken).count('\r'))));
    }

    // The node the service names is a link: unplugged, it is gone; plugged in again, it leads
    // to another pty. The line the logger was cut off in is no record.
    void deviceUnpluggedAndBack() {
        const QString link = m_dir.filePath("balance");
        auto instrument = std::make_unique<PtyInstrument>();
        QVERIFY(QFile::link(instrument->slavePath(), link));
        Headless logger(m_dir.filePath("state"), options(link));
        QVERIFY2(inStep(logger, *instrument), logger.said.constData());
        QVERIFY(instrument->write(lines(readings(3, "before "))));
        QTRY_VERIFY_WITH_TIMEOUT(records(m_data).contains("before 00002"), 30000);

        instrument->closeMaster();
        QVERIFY(QFile::remove(link));
        QVERIFY2(logger.saidLike(QStringLiteral(R"( warning: Com\d+ : Device removal detected$)")),
                 logger.said.constData());
        instrument = std::make_unique<PtyInstrument>();
        QVERIFY(QFile::link(instrument->slavePath(), link));
        QVERIFY2(logger.saidLike(QStringLiteral(R"( warning: Com\d+ : Device reconnected$)")),
                 logger.said.constData());
        QVERIFY(instrument->write("ne cut off\r\n" + lines(readings(3, "after "))));
        QTRY_VERIFY_WITH_TIMEOUT(records(m_data).contains("after 00002"), 30000);
        QCOMPARE(logger.end(), 0);
        QCOMPARE(records(m_data), lines(readings(3, "before ") + readings(3, "after ")));
    }

    // A device that is no serial port, or one not there yet (an adapter udev has not named at
    // boot): the journal says START failed, and why; the system may start it again later.
    void portThatDoesNotOpenEndsTheRun_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("why");
        QTest::newRow("no serial port") << "/dev/null" << QString();
        QTest::newRow("not there yet") << "/dev/serial/by-id/usb-none-of-ours"
                                       << "No serial device at /dev/serial/by-id/";
    }
    void portThatDoesNotOpenEndsTheRun() {
        QFETCH(QString, port);
        QFETCH(QString, why);
        Headless logger(m_dir.filePath("state"), options(port));
        QVERIFY(logger.process.waitForFinished(60000));
        QCOMPARE(logger.process.exitCode(), 1);
        QVERIFY2(logger.saidLike(QStringLiteral(R"( error: Error : <COM\d+> 80\d\d$)"), 0),
                 logger.said.constData());
        QVERIFY2(why.isEmpty() || logger.said.contains(" error: " + why.toUtf8()),
                 logger.said.constData());
        QCOMPARE(records(m_data), QByteArray("<no header> <>"));
    }
};

QTEST_GUILESS_MAIN(TstHeadless)
#include "tst_headless.moc"
