// SPDX-License-Identifier: GPL-3.0-or-later
// A logger killed while its data folder on a Windows drive did not answer, under Wine: what its
// spool kept is written back at the next START, each record once, in order, into that folder.
// The killed logger is this program started again as a child: the real record store, storage
// thread and spool, whose data folder's calls stop answering at one step; the test ends it
// with TerminateProcess, the kill -9 of Windows, once the spool holds its records.

#include "acquisition/core/clock.h"
#include "acquisition/core/loop_view.h"
#include "acquisition/core/message_sink.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/file_calls.h"
#include "acquisition/platform/platform_files.h"
#include "acquisition/storage/record_store.h"
#include "acquisition/storage/spool_format.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr char kChildFlag[] = "--killed-logger";
constexpr qsizetype kOnTheMedium = 5; // records in their file before the folder stops answering
constexpr qsizetype kSpooled = 40;    // records after that, which the spool keeps

// Where the data folder stops answering: the call never returns, as on a share that is gone.
enum class Stuck { Open, Write, Flush };

class FixedClock final : public Clock {
public:
    qint64 nowMs() const override {
        return QDateTime(QDate(2026, 12, 7), QTime(10, 0)).toMSecsSinceEpoch();
    }
};

class QuietView final : public LoopView {
public:
    void setStateText(const QString&) override {}
    void showRecord(const QByteArray&) override {}
    void setTitleText(const QString&) override {}
    void endProgram() override {}
    void showStorageState(const QString& text) override { word = text; }
    QString word;
};

class RecordingSink final : public MessageSink {
public:
    void showMessage(const QString& text) override { messages << text; }
    void beep() override {}
    QStringList messages;
};

// The system's calls, until stick(): from then on the chosen step never returns. Only the
// storage thread and the leftovers' writer call through it; the spool makes its own calls.
class StuckFolderCalls final : public FileCalls {
public:
    explicit StuckFolderCalls(Stuck step) : m_step(step) {}
    void stick() { m_stuck = true; }
    bool hanging() const { return m_hanging; }
    int openForAppend(const QByteArray& path, int& error) override {
        hangAt(Stuck::Open);
        return FileCalls::openForAppend(path, error);
    }
    int appendWhole(int fd, const QByteArray& bytes) override {
        hangAt(Stuck::Write);
        return FileCalls::appendWhole(fd, bytes);
    }
    int dataSync(int fd) override {
        hangAt(Stuck::Flush);
        return FileCalls::dataSync(fd);
    }

private:
    void hangAt(Stuck step) {
        while (m_stuck && step == m_step) {
            m_hanging = true;
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
    const Stuck m_step;
    std::atomic<bool> m_stuck{false};
    std::atomic<bool> m_hanging{false};
};

QList<QByteArray> readings(qsizetype count) {
    QList<QByteArray> records;
    for (qsizetype i = 1; i <= count; ++i)
        records << "ST,+" + QByteArray::number(i).rightJustified(4, '0') + ".000 g";
    return records;
}

// The killed logger: records into `data`, its spool in `spool`; once its first records are on
// the medium, the data folder stops answering at `step`, and it records on until it is killed.
int runKilledLogger(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fputs("killed logger: DATA SPOOL STEP\n", stderr);
        return 3;
    }
    loadStartValues(encodePath(args[2]));
    StuckFolderCalls calls(static_cast<Stuck>(args[4].toInt()));
    FixedClock clock;
    RecordingSink sink;
    QuietView view;
    RecordStore store(clock, sink, view, calls, args[3]);
    store.startPressed();
    const qint64 now = clock.nowMs();
    const QList<QByteArray> records = readings(kOnTheMedium + kSpooled);
    // A run's first record heads its file and is not kept.
    store.lineEnd("ST,+0000.000 g", false, now, now);
    for (const QByteArray& record : records.first(kOnTheMedium))
        store.lineEnd(record, true, now, now);
    if (!QTest::qWaitFor([&store] { return store.settled(); }, 30'000)) {
        std::fputs("killed logger: its first records never reached the medium\n", stderr);
        return 2;
    }
    calls.stick();
    for (const QByteArray& record : records.sliced(kOnTheMedium, kSpooled - 1))
        store.lineEnd(record, true, now, now);
    // The instrument sends on while the call hangs.
    if (!QTest::qWaitFor([&calls] { return calls.hanging(); }, 30'000)) {
        std::fputs("killed logger: its data folder never stopped answering\n", stderr);
        return 2;
    }
    store.lineEnd(records.last(), true, now, now);
    return app.exec();
}

QList<QByteArray> fileLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {"<missing>"};
    QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray& line : lines)
        line += '\n';
    return lines;
}

// The records in the spool files of `folder`, as far as whole frames go.
QList<PendingRecord> spooledRecords(const QString& folder) {
    QList<PendingRecord> records;
    const QDir dir(folder);
    for (const QString& name :
         dir.entryList({QStringLiteral("*.spool")}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        SpoolReader reader;
        for (const SpoolReader::Frame& frame : reader.read(file.readAll(), false))
            if (frame.kind == SpoolReader::Frame::Kind::Record)
                records << frame.record;
    }
    return records;
}

QList<QByteArray> textsOf(const QList<PendingRecord>& records) {
    QList<QByteArray> texts;
    for (const PendingRecord& record : records)
        texts << record.record;
    return texts;
}

} // namespace

class TstWinReplay : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void killedLoggersSpoolIsWrittenOnce_data();
    void killedLoggersSpoolIsWrittenOnce();
};

void TstWinReplay::killedLoggersSpoolIsWrittenOnce_data() {
    QTest::addColumn<Stuck>("stuck");
    QTest::addColumn<bool>("placed"); // the spooled records' write had begun
    QTest::addColumn<bool>("landed"); // and reached the file: it must not be written again
    QTest::newRow("open hangs") << Stuck::Open << false << false;
    QTest::newRow("write hangs") << Stuck::Write << true << false;
    QTest::newRow("flush hangs") << Stuck::Flush << true << true;
}

void TstWinReplay::killedLoggersSpoolIsWrittenOnce() {
    QFETCH(Stuck, stuck);
    QFETCH(bool, placed);
    QFETCH(bool, landed);
    QTemporaryDir data;
    QTemporaryDir spool;
    // A folder as Windows names it, drive first (C: under Wine), never a path from the root.
    QVERIFY2(data.path().size() > 3 && data.path()[1] == u':' && data.path()[2] == u'/',
             qPrintable(data.path()));
    const QString file = data.filePath(QStringLiteral("20261207.txt"));
    const QList<QByteArray> records = readings(kOnTheMedium + kSpooled);
    QList<QByteArray> whole{" Recive Data ,26/12/07,10:00:00,\r\n"};
    for (const QByteArray& record : records)
        whole << record + "\r\n";

    QProcess logger;
    logger.setProcessChannelMode(QProcess::ForwardedChannels);
    logger.start(QCoreApplication::applicationFilePath(),
                 {QLatin1StringView(kChildFlag), data.path(), spool.path(),
                  QString::number(static_cast<int>(stuck))});
    QVERIFY(logger.waitForStarted(30'000));
    const QList<QByteArray> spooledTexts = records.sliced(kOnTheMedium);
    QTRY_VERIFY_WITH_TIMEOUT(logger.state() != QProcess::Running ||
                                 textsOf(spooledRecords(spool.path())) == spooledTexts,
                             60'000);
    QCOMPARE(logger.state(), QProcess::Running);
    // What the spool holds: the records not known to be on the medium, for the data folder on
    // its drive, with the places their write was given if it had begun.
    const QList<PendingRecord> kept = spooledRecords(spool.path());
    QCOMPARE(textsOf(kept), spooledTexts);
    QCOMPARE(kept.first().target.folder, encodePath(data.path()));
    QCOMPARE(kept.first().place.known(), placed);
    const QList<QByteArray> before = fileLines(file);
    QVERIFY(before.size() <= whole.size());
    QCOMPARE(before, whole.first(before.size()));
    QCOMPARE(before.size() > 1 + kOnTheMedium, landed);
    logger.kill();
    QVERIFY(logger.waitForFinished(30'000));
    QCOMPARE(logger.exitStatus(), QProcess::CrashExit);

    // The next START, of a logger whose folder answers: the killed run's records first, then
    // the present's.
    loadStartValues(encodePath(data.path()));
    FixedClock clock;
    RecordingSink sink;
    QuietView view;
    {
        RecordStore store(clock, sink, view, systemFileCalls(), spool.path());
        store.startPressed();
        store.lineEnd("new", true, clock.nowMs(), clock.nowMs());
        const QDir spoolDir(spool.path());
        QTRY_VERIFY_WITH_TIMEOUT(
            store.settled() && spoolDir.entryList({QStringLiteral("*.spool")}).isEmpty(), 30'000);
        const QStringList damaged = spoolDir.entryList({QStringLiteral("*.damaged")}, QDir::Files);
        QVERIFY2(
            damaged.isEmpty(),
            qPrintable(
                QStringLiteral("kept aside: %1; panel 1: %2").arg(damaged.join(u' '), view.word)));
        QCOMPARE(fileLines(file), whole + QList<QByteArray>{"new\r\n"});
        QTRY_COMPARE(view.word,
                     QStringLiteral("%1 records kept from an earlier run written").arg(kSpooled));
        store.finish(true);
    }
    QCOMPARE(sink.messages, QStringList());
    QCOMPARE(QDir(spool.path())
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList());
}

int main(int argc, char** argv) {
    if (argc > 1 && qstrcmp(argv[1], kChildFlag) == 0)
        return runKilledLogger(argc, argv);
    QCoreApplication app(argc, argv);
    TstWinReplay test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_win_replay.moc"
