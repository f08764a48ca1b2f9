// The record store's promises when the data folder misbehaves: the caller never waits, what
// waits is kept (in memory, then in the local spool too), in order, and nothing is lost at the
// end. The file calls are the system's, held, failed or slowed from the test.

#include "acquisition/record_store.h"
#include "acquisition/varlin_def.h"
#include "support/fakes.h"
#include "support/test_kit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Store {
    Store(RecordingFileCalls& calls, const QString& spoolFolder)
        : store(clock, sink, view, calls, spoolFolder), m_calls(calls) {}
    // A thread is never left waiting on calls that go away with the test.
    ~Store() { m_calls.release(); }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    FakeClock clock;
    RecordingSink sink;
    RecordingView view;
    RecordStore store;

    void records(const QList<QByteArray>& lines) {
        for (const QByteArray& line : lines)
            store.lineEnd(line, true, clock.nowMs());
    }
    bool written(int timeoutMs = 10'000) {
        return QTest::qWaitFor([this] { return store.settled(); }, timeoutMs);
    }

private:
    RecordingFileCalls& m_calls;
};

QList<QByteArray> numbered(const char* name, int count, qsizetype size = 0) {
    QList<QByteArray> result;
    for (int i = 0; i < count; ++i)
        result << (name + QByteArray::number(i)).leftJustified(size, '.');
    return result;
}

// What a spool file holds: its records' texts, in order.
QList<QByteArray> spooled(const QString& folder) {
    QList<QByteArray> texts;
    for (const QString& name : QDir(folder).entryList({"*.spool"}, QDir::Files, QDir::Name))
        for (const PendingRecord& record : Spool::parse(fileText(folder + '/' + name)))
            texts << record.record;
    return texts;
}

} // namespace

class TstStorage : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_data;
    std::unique_ptr<QTemporaryDir> m_state;
    QString spoolFolder() const { return m_state->path(); }
    QByteArray dataFile() const { return fileText(m_data->filePath("20261207.txt")); }

private Q_SLOTS:
    void init() {
        m_data = std::make_unique<QTemporaryDir>();
        m_state = std::make_unique<QTemporaryDir>();
        loadStartValues(QFile::encodeName(m_data->path()));
    }

    // A write that hangs: the caller goes on at once; after 2 s the records are in the spool,
    // after 5 s panel 1 says so; once the folder answers they are written, in order, and the
    // spool and the word go.
    void aHungWriteHoldsNothingBack() {
        RecordingFileCalls calls;
        Store s(calls, spoolFolder());
        calls.hold();
        const QList<QByteArray> lines = numbered("r", 50);
        s.records(lines.mid(0, 10));
        QTRY_COMPARE(calls.held(), 1);
        s.records(lines.mid(10));
        QCOMPARE(s.store.waiting(), 50);
        QTRY_COMPARE_WITH_TIMEOUT(spooled(spoolFolder()), lines, 4000);
        QTRY_COMPARE_WITH_TIMEOUT(s.view.storageWords.value(0),
                                  QStringLiteral("Data folder not answering: 50 records waiting"),
                                  6000);
        QCOMPARE(dataFile(), QByteArray("<missing>"));
        calls.release();
        QVERIFY(s.written());
        QCOMPARE(dataFile(), header() + ::lines(lines));
        QTRY_COMPARE(spooled(spoolFolder()), QList<QByteArray>());
        QTRY_COMPARE(s.view.storageWords.last(), QString());
        QCOMPARE(s.sink.messages, QStringList()); // slow is not failed
    }

    // An open that fails, then works: one box, the count while records wait, then all of them.
    void anOpenThatFailsThenWorks() {
        RecordingFileCalls calls;
        calls.failOpens = 1;
        Store s(calls, spoolFolder());
        s.records({"a", "b", "c"});
        QTRY_COMPARE(s.sink.messages, QStringList{"Data file output error.  2"});
        QVERIFY(s.written(3000)); // tried again within a second
        QCOMPARE(dataFile(), header() + "a\r\nb\r\nc\r\n");
        QCOMPARE(s.view.titles.last(), QStringLiteral("3 waiting records written"));
        QCOMPARE(s.sink.messages.size(), 1);
    }

    // A flush that takes 1.5 s: records keep being written meanwhile, and the next flush comes
    // a second after it ended, not once per record.
    void aSlowFlushIsNotOnePerRecord() {
        RecordingFileCalls calls;
        calls.syncMs = 1500;
        Store s(calls, spoolFolder());
        const QList<QByteArray> lines = numbered("slow", 400);
        QElapsedTimer sending;
        sending.start();
        for (qsizetype i = 0; i < lines.size(); i += 40) {
            s.records(lines.mid(i, 40));
            QTest::qWait(250);
        }
        QVERIFY(s.written(15'000));
        QCOMPARE(dataFile(), header() + ::lines(lines));
        const auto flushes = calls.flushes();
        qsizetype rounds = 0;
        for (const auto& flush : flushes)
            rounds += flush.folder ? 0 : 1;
        // About one a 2.5 s (1.5 s of flush, then a second), and one at the end.
        QVERIFY2(rounds <= 2 + sending.elapsed() / 2500, qPrintable(QString::number(rounds)));
        for (qsizetype i = 1; i < flushes.size(); ++i)
            QVERIFY(flushes[i].folder || flushes[i].atMs - flushes[i - 1].atMs >= 2400);
    }

    // Beyond the memory bound records go to the spool alone; all of them reach the data file
    // in order once the folder answers.
    void orderAcrossMemorySpoolAndFolder() {
        RecordingFileCalls calls;
        Store s(calls, spoolFolder());
        calls.hold();
        const qsizetype size = qsizetype(256) * 1024;
        const auto count = static_cast<int>(RecordStore::kMemoryBound / size + 40);
        const QList<QByteArray> lines = numbered("big", count, size);
        s.records(lines);
        QVERIFY(s.store.waiting() < count); // the rest are in the spool alone
        QTRY_COMPARE_WITH_TIMEOUT(spooled(spoolFolder()).size(), count, 20'000);
        calls.release();
        QVERIFY(s.written(60'000));
        QCOMPARE(dataFile(), header() + ::lines(lines));
        QCOMPARE(s.sink.messages, QStringList());
    }

    // Memory full and a spool that cannot be written: the records that neither takes are lost,
    // and only those; the operator is told once how many and between which times, and the
    // count stays in panel 1.
    void lostOnlyWhenMemoryAndSpoolBothFail() {
        RecordingFileCalls calls;
        QFile blocker(m_state->filePath("not-a-folder"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        Store s(calls, blocker.fileName() + "/tessaline");
        calls.hold();
        const qsizetype size = qsizetype(256) * 1024;
        const auto inMemory = static_cast<int>(RecordStore::kMemoryBound / size) - 1;
        const QList<QByteArray> lines = numbered("big", inMemory + 30, size);
        s.records(lines.mid(0, inMemory));
        QCOMPARE(s.store.waiting(), inMemory);
        s.records(lines.mid(inMemory, 1)); // memory is full: the spool is tried, and fails
        QTest::qWait(1500);
        s.records(lines.mid(inMemory + 1));
        // That first one is lost too when the spool had failed before it was asked.
        const QString lost = s.view.storageWords.last();
        QVERIFY2(lost == "29 records lost" || lost == "30 records lost", qPrintable(lost));
        QVERIFY(s.sink.messages.isEmpty()); // told once the loss is over
        calls.release();
        QTRY_COMPARE_WITH_TIMEOUT(dataFile(), header() + ::lines(lines.mid(0, inMemory)), 30'000);
        s.store.finish(true);
        QVERIFY2(s.sink.messages.value(0).startsWith(lost.section(u' ', 0, 0) +
                                                     " records lost between "),
                 qPrintable(s.sink.messages.value(0)));
        QCOMPARE(s.sink.messages.filter("records lost").size(), 1); // told once
    }

    // END (a box) and a session's end (standard error) while the folder hangs: the end comes
    // within its deadline, the records are in the spool, and the next START writes each once,
    // before any new record, also those whose write was under way.
    void endWhileTheFolderHangs_data() {
        QTest::addColumn<bool>("operatorPresent");
        QTest::newRow("END") << true;
        QTest::newRow("session end") << false;
    }
    void endWhileTheFolderHangs() {
        QFETCH(bool, operatorPresent);
        // The thread left behind in its call must still find the calls when it returns.
        static auto* calls = new RecordingFileCalls;
        const QList<QByteArray> lines = numbered("w", 8);
        {
            Store s(*calls, spoolFolder());
            calls->hold();
            s.records(lines.mid(0, 1)); // the call left under way: w0 alone
            QTRY_COMPARE(calls->held(), 1);
            s.records(lines.mid(1));
            QElapsedTimer ending;
            ending.start();
            s.store.finish(operatorPresent);
            QVERIFY(ending.elapsed() < RecordStore::kEndDeadlineMs + 3000);
            QCOMPARE(spooled(spoolFolder()), lines);
            QCOMPARE(s.sink.messages.size(), operatorPresent ? 1 : 0);
            if (operatorPresent)
                QVERIFY(s.sink.messages.value(0).contains(s.store.spoolPath()));
        }
        calls->release(); // the call under way lands now
        QTRY_COMPARE(dataFile(), header() + "w0\r\n");

        Store next(*calls, spoolFolder());
        next.store.startPressed();
        next.records({"new"});
        QVERIFY(next.written());
        QCOMPARE(dataFile(), header() + ::lines(lines) + "new\r\n");
        QCOMPARE(next.view.storageWords.value(0),
                 QStringLiteral("Writing 8 records kept from an earlier run"));
        QTRY_COMPARE(next.view.storageWords.last(),
                     QStringLiteral("8 records kept from an earlier run written"));
        QTRY_COMPARE(QDir(spoolFolder()).entryList({"*.spool"}, QDir::Files), QStringList());
    }
};

QTEST_GUILESS_MAIN(TstStorage)
#include "tst_storage.moc"
