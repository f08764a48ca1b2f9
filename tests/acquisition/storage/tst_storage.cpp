// SPDX-License-Identifier: GPL-3.0-or-later
// The record store's promises when the data folder misbehaves: the caller never waits, what
// waits is kept (in memory, then in the local spool too), in order, and nothing is lost at the
// end. The file calls are the system's, held, failed or slowed from the test.

#include "acquisition/core/answer_in_time.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/storage/file_order.h"
#include "acquisition/storage/record_store.h"
#include "acquisition/storage/storage_worker.h"
#include "support/fakes.h"
#include "support/test_kit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Store {
    Store(RecordingFileCalls& calls, const QString& spoolFolder)
        : store(clock, sink, view, calls, spoolFolder, spoolCalls), m_calls(calls) {}
    // A thread is never left waiting on calls that go away with the test.
    ~Store() { m_calls.release(); }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    FakeClock clock;
    RecordingSink sink;
    RecordingView view;
    RecordingFileCalls spoolCalls; // the local disk's
    RecordStore store;

    void records(const QList<QByteArray>& lines) {
        for (const QByteArray& line : lines)
            store.lineEnd(line, true, clock.nowMs(), clock.nowMs());
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

// What the spool files hold: their records' texts, in order.
QList<QByteArray> spooled(const QString& folder) {
    QList<QByteArray> texts;
    for (const PendingRecord& record : spooledRecords(folder))
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
        // The word comes with the store's next look at the storage thread, after the write.
        QTRY_COMPARE(s.view.titles.last(), QStringLiteral("3 waiting records written"));
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
        QCOMPARE(s.store.waiting(), count); // in memory up to the bound, the rest in the spool
        QTRY_COMPARE_WITH_TIMEOUT(spooled(spoolFolder()).size(), count, 20'000);
        calls.release();
        QVERIFY(s.written(60'000));
        QCOMPARE(dataFile(), header() + ::lines(lines));
        QCOMPARE(s.sink.messages, QStringList());
        // Spooled, read back and written: not one file call on the window's thread.
        QCOMPARE(calls.onWindowsThread.load(), 0);
        QCOMPARE(s.spoolCalls.onWindowsThread.load(), 0);
    }

    // END while records beyond the memory bound are in the spool alone and the folder answers:
    // END calls them not yet written (no flush failed), and the next START writes them once.
    void endWithRecordsInTheSpoolAlone() {
        RecordingFileCalls calls;
        const qsizetype size = qsizetype(256) * 1024;
        const auto count = static_cast<int>(RecordStore::kMemoryBound / size + 40);
        const QList<QByteArray> lines = numbered("big", count, size);
        {
            Store s(calls, spoolFolder());
            calls.hold();
            s.records(lines);
            QTRY_COMPARE_WITH_TIMEOUT(spooled(spoolFolder()).size(), count, 20'000);
            calls.release();
            s.store.finish(true);
            QCOMPARE(s.spoolCalls.onWindowsThread.load(), 0);
            QCOMPARE(s.sink.messages.size(), 1);
            QVERIFY2(s.sink.messages[0].contains(" records not yet written are kept in ") &&
                         !s.sink.messages[0].contains("flush"),
                     qPrintable(s.sink.messages[0]));
        }
        Store next(calls, spoolFolder());
        next.store.startPressed();
        QTRY_COMPARE_WITH_TIMEOUT(dataFile().size(), (header() + ::lines(lines)).size(), 60'000);
        QCOMPARE(dataFile(), header() + ::lines(lines));
        // The end, and the next START's replay: the window's thread made no file call.
        QCOMPARE(calls.onWindowsThread.load(), 0);
    }

    // Memory full and a spool that cannot be written: the records that neither takes are lost,
    // and only those; the operator is told once how many and between which times (in a box at
    // END, never at a session's end, when nobody is there to close it), and the count stays in
    // panel 1.
    void lostOnlyWhenMemoryAndSpoolBothFail_data() {
        QTest::addColumn<bool>("operatorPresent");
        QTest::newRow("END") << true;
        QTest::newRow("session end") << false;
    }
    void lostOnlyWhenMemoryAndSpoolBothFail() {
        QFETCH(bool, operatorPresent);
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
        // That first one is lost too when the spool had failed before it was asked. A slow
        // machine may also have said by now that the folder does not answer.
        const QString lost = s.view.storageWords.last().section(QStringLiteral("; "), -1);
        QVERIFY2(lost == "29 records lost" || lost == "30 records lost",
                 qPrintable(s.view.storageWords.last()));
        QVERIFY(s.sink.messages.isEmpty()); // told once the loss is over
        calls.release();
        QTRY_COMPARE_WITH_TIMEOUT(dataFile(), header() + ::lines(lines.mid(0, inMemory)), 30'000);
        s.store.finish(operatorPresent);
        if (!operatorPresent) {
            QCOMPARE(s.sink.messages, QStringList());
            return;
        }
        QVERIFY2(s.sink.messages.value(0).startsWith(lost.section(u' ', 0, 0) +
                                                     " records lost between "),
                 qPrintable(s.sink.messages.value(0)));
        QCOMPARE(s.sink.messages.filter("records lost").size(), 1); // told once
    }

    // A balance at rest: every reading alike. END (a box) or a session's end (standard error)
    // comes while a write hangs; the end keeps its deadline and the spool has every record. The
    // write lands afterwards; the next START writes each of the others once, before any new
    // record, and those that landed not again, though the file ends with their very text.
    void endWhileAWriteHangs_data() {
        QTest::addColumn<bool>("operatorPresent");
        QTest::newRow("END") << true;
        QTest::newRow("session end") << false;
    }
    void endWhileAWriteHangs() {
        QFETCH(bool, operatorPresent);
        // The thread left behind in its call must still find the calls when it returns.
        static auto* calls = new RecordingFileCalls;
        const QList<QByteArray> lines(8, "0.000 g");
        QFile file(m_data->filePath("20261207.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(header()) > 0);
        file.close();
        {
            Store s(*calls, spoolFolder());
            calls->hold(false);
            s.records(lines.mid(0, 3)); // one write under way, of three records
            QTRY_COMPARE(calls->held(), 1);
            s.records(lines.mid(3));
            QElapsedTimer ending;
            ending.start();
            s.store.finish(operatorPresent);
            QVERIFY(ending.elapsed() < RecordStore::kEndDeadlineMs + 3000);
            QCOMPARE(spooled(spoolFolder()), lines);
            QCOMPARE(s.sink.messages.size(), operatorPresent ? 1 : 0);
            if (operatorPresent)
                QVERIFY(s.sink.messages.value(0).contains(s.store.spoolFolder()));
        }
        calls->release(); // the write under way lands now
        QTRY_COMPARE(dataFile(), header() + ::lines(lines.mid(0, 3)));

        Store next(*calls, spoolFolder());
        next.store.startPressed();
        next.records({"new"});
        QVERIFY(next.written());
        QCOMPARE(dataFile(), header() + ::lines(lines) + "new\r\n");
        QTRY_COMPARE(next.view.storageWords.last(),
                     QStringLiteral("8 records kept from an earlier run written"));
        QTRY_COMPARE(QDir(spoolFolder()).entryList({"*.spool", "*.marks"}, QDir::Files),
                     QStringList());
    }

    // A write reported failed that landed all the same (a network file system's timeout): the
    // retry finds the records where they went and writes them no second time.
    void aFailedWriteThatLandedIsNotRepeated() {
        QFile file(m_data->filePath("20261207.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(header()) > 0);
        file.close();
        RecordingFileCalls calls;
        calls.landThenFail = 1;
        Store s(calls, spoolFolder());
        s.records({"0.000 g", "0.000 g", "0.000 g"});
        QTRY_COMPARE(s.sink.messages, QStringList{"Data file output error.  5"});
        QVERIFY(s.written(3000)); // tried again within a second
        QCOMPARE(dataFile(), header() + "0.000 g\r\n0.000 g\r\n0.000 g\r\n");
    }

    // A flush that fails (EIO, a share over quota): File_open's box, the count, the records
    // kept in the spool; they are never written again. Once the file flushes, the operator
    // learns which file may lack them on its medium, and between which times.
    void aFailedFlushIsToldAndNotRepeated() {
        RecordingFileCalls calls;
        calls.failSyncs = 1'000'000;
        Store s(calls, spoolFolder());
        s.records({"a", "b", "c"});
        QTRY_COMPARE(s.sink.messages, QStringList{"Data file output error.  5"});
        QCOMPARE(s.view.titles.last(),
                 QStringLiteral("Data file output error.  5 : 3 records waiting"));
        QTRY_COMPARE(spooled(spoolFolder()), (QList<QByteArray>{"a", "b", "c"}));
        QVERIFY(!s.store.settled());
        QTest::qWait(1500); // flushes fail again: no second box
        QCOMPARE(s.sink.messages.size(), 1);
        calls.failSyncs = 0;
        QTRY_COMPARE_WITH_TIMEOUT(s.sink.messages.size(), 2, 3000);
        QCOMPARE(s.sink.messages.last(),
                 m_data->filePath("20261207.txt") +
                     " may lack records of between 2026/12/07 10:00:00 and 2026/12/07 10:00:00 "
                     "on its medium: flushing it failed (5). Its 3 records of that time were "
                     "written once and are not written again, as a second copy would falsify "
                     "the file.");
        QVERIFY(s.written());
        QCOMPARE(dataFile(), header() + "a\r\nb\r\nc\r\n");
        QTRY_COMPARE(spooled(spoolFolder()), QList<QByteArray>());
    }

    // The folder hangs 2.5 s, then answers while records keep coming: the spool follows the
    // files and empties during the flow, and the word goes as the folder answers.
    void theSpoolEmptiesUnderASteadyFlow() {
        RecordingFileCalls calls;
        Store s(calls, spoolFolder());
        calls.hold();
        QList<QByteArray> sent = numbered("h", 10);
        s.records(sent);
        QTRY_COMPARE_WITH_TIMEOUT(spooled(spoolFolder()), sent, 4000);
        calls.release();
        bool emptied = false;
        for (int i = 0; i < 150; ++i) {
            sent << "f" + QByteArray::number(i);
            s.records({sent.last()});
            QTest::qWait(20);
            emptied = emptied || QDir(spoolFolder()).entryList({"*.spool"}, QDir::Files).isEmpty();
        }
        QVERIFY2(emptied, "the spool held records all through the flow");
        QVERIFY(s.written());
        QCOMPARE(dataFile(), header() + ::lines(sent));
        QCOMPARE(s.view.storageWords.value(s.view.storageWords.size() - 1), QString());
    }

    // Records of an earlier run whose folder is gone hold nothing back: new records reach their
    // file at once, panel 1 says how many wait and for which folder, the spool stays; the
    // operator has them written into the data folder, each into the file of its own day. A flush
    // that fails there is told once the file flushes, as for the present's records.
    void leftoversForAGoneFolderWaitAside() {
        const QByteArray gone = QFile::encodeName(m_data->filePath("gone/lab"));
        writeLeftovers(gone, numbered("old", 3));
        RecordingFileCalls calls;
        Store s(calls, spoolFolder());
        s.store.startPressed();
        s.records({"new1", "new2"});
        QVERIFY(QTest::qWaitFor([&] { return dataFile() == header() + "new1\r\nnew2\r\n"; }));
        const QString waiting = "3 records from an earlier run wait for " + QFile::decodeName(gone);
        QTRY_COMPARE(s.view.storageWords.last(), waiting);
        QTRY_COMPARE(spooled(spoolFolder()), numbered("old", 3)); // the new ones' copies go
        // The first flush there fails: they wait aside again, and the next try finds them
        // where they went instead of writing them twice.
        s.store.leftovers().setRetryInterval(std::chrono::milliseconds(300));
        calls.failSyncs = 2; // the write's flush, and the retry's
        s.store.writeLeftoversHere();
        QTRY_COMPARE(s.view.storageWords.last(),
                     "3 records kept from an earlier run written into " + m_data->path() +
                         ", perhaps after newer records there");
        QCOMPARE(dataFile(), header() + "new1\r\nnew2\r\n" + ::lines(numbered("old", 3)));
        QTRY_COMPARE(spooled(spoolFolder()), QList<QByteArray>());
        QTRY_COMPARE(s.sink.messages.size(), 1);
        QVERIFY2(
            s.sink.messages[0].startsWith(m_data->filePath("20261207.txt") +
                                          " may lack records of between 2026/12/07 10:00:00") &&
                s.sink.messages[0].contains("flushing it failed (5). Its 3 records"),
            qPrintable(s.sink.messages[0]));
    }

    // Runs meet in one file: the oldest run waits aside (its folder is gone), the next one left
    // many records for today's file, and the present records at once. Today's file gets the
    // next run's records, then the present's, however many batches the replay takes.
    void anEarlierRunSetAsideLetsNothingOvertake() {
        const QByteArray folder = QFile::encodeName(m_data->path());
        QVERIFY(
            writeRun("20261207-080000", leftovers(QFile::encodeName(m_data->filePath("gone/lab")),
                                                  numbered("gone", 3))));
        const QList<QByteArray> kept = numbered("kept", 40'000);
        QVERIFY(writeRun("20261207-090000", leftovers(folder, kept)));
        RecordingFileCalls calls;
        Store s(calls, spoolFolder());
        s.store.startPressed();
        const QList<QByteArray> sent = numbered("new", 30);
        s.records(sent);
        QTRY_COMPARE_WITH_TIMEOUT(dataFile().size(), (header() + ::lines(kept + sent)).size(),
                                  20'000);
        QCOMPARE(dataFile(), header() + ::lines(kept + sent));
        QTRY_COMPARE(s.view.storageWords.last(),
                     "3 records from an earlier run wait for " + m_data->filePath("gone/lab"));
    }

    // END while an earlier run's records are being written: no new record goes into their file
    // before them; the new ones stay in the spool, END counts each kind apart, and the next
    // START writes the rest of the earlier run's, then the new ones.
    void endDuringAReplayKeepsTheNewForLater() {
        const QByteArray folder = QFile::encodeName(m_data->path());
        const QList<QByteArray> kept = numbered("kept", 40'000);
        QVERIFY(writeRun("20261207-090000", leftovers(folder, kept)));
        const QList<QByteArray> sent = numbered("new", 10);
        {
            RecordingFileCalls calls;
            calls.syncMs = 700; // each batch of the replay waits for its flush
            Store s(calls, spoolFolder());
            s.store.startPressed();
            // Counted, so END can say how many (a slow build counts for longer than the wait).
            QTRY_VERIFY(s.store.leftovers().state().uncounted == 0 &&
                        s.store.leftovers().state().writing > 0);
            s.records(sent);
            QTest::qWait(300);
            s.store.finish(true);
            QVERIFY(!dataFile().contains("new"));
            QCOMPARE(s.sink.messages.size(), 1);
            QVERIFY2(s.sink.messages[0].startsWith("10 records not yet written and ") &&
                         s.sink.messages[0].contains(" records from an earlier run are kept in " +
                                                     spoolFolder()),
                     qPrintable(s.sink.messages[0]));
        }
        // The ended store's replay thread, left to a flush, holds the earlier run until the flush
        // returns, as another logger would; a program's end lets go of it at once.
        QTRY_VERIFY_WITH_TIMEOUT(runIsFree("20261207-090000"), 10'000);
        RecordingFileCalls calls;
        Store next(calls, spoolFolder());
        next.store.startPressed();
        next.records({"later"});
        QTRY_COMPARE_WITH_TIMEOUT(dataFile(), header() + ::lines(kept + sent) + "later\r\n",
                                  20'000);
        QTRY_COMPARE(QDir(spoolFolder()).entryList({"*.spool", "*.marks"}, QDir::Files),
                     QStringList());
    }

    // A crash cut a reading short at the end of its file, and the next START cannot look at the
    // file at first: the reading's own run completes it before anything new is appended, so the
    // fragment never stands as a reading of its own.
    void aCutShortReadingIsCompletedByItsRun() {
        QList<PendingRecord> run = leftovers(QFile::encodeName(m_data->path()), {"ST,+0098.765 g"});
        run[0].place = {header().size(), fileIdOf(header())};
        QVERIFY(writeRun("20261207-090000", run));
        QFile file(m_data->filePath("20261207.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(header() + "ST,+00") > 0);
        file.close();
        RecordingFileCalls calls;
        calls.failOpens = 1; // the run's first try: it waits aside
        Store s(calls, spoolFolder());
        s.store.leftovers().setRetryInterval(std::chrono::milliseconds(300));
        s.store.startPressed();
        s.records({"ST,+0012.000 g"});
        QTRY_COMPARE(dataFile(), header() + "ST,+0098.765 g\r\nST,+0012.000 g\r\n");
        QVERIFY(s.written());
        QCOMPARE(dataFile(), header() + "ST,+0098.765 g\r\nST,+0012.000 g\r\n");
    }

    // Who may append to a file: a run waits for the earlier runs that hold it, whichever way its
    // folder was spelled when their records were taken, and never for a later one.
    void theOrderOfRuns() {
        FileOrder order;
        const QString older = QStringLiteral("unwritten-records-20261207-080000-1");
        const QString newer = QStringLiteral("unwritten-records-20261207-090000-1");
        order.hold(older, {"/lab/share/./20261207.txt"});
        order.holdAll(newer);
        QVERIFY(!order.mayWrite(FileOrder::kPresent, "/lab/share/20261207.txt"));
        QVERIFY(!order.mayWrite(FileOrder::kPresent, "/lab/other/20261207.txt")); // newer: all
        QVERIFY(!order.mayWrite(newer, "/lab/share//20261207.txt"));
        QVERIFY(order.mayWrite(newer, "/lab/other/20261207.txt"));
        QVERIFY(order.mayWrite(older, "/lab/share/20261207.txt"));
        order.hold(newer, {"/lab/share/20261208.txt"});
        QVERIFY(order.mayWrite(FileOrder::kPresent, "/lab/other/20261207.txt"));
        order.release(older);
        QVERIFY(order.mayWrite(FileOrder::kPresent, "/lab/share/20261207.txt"));
        QVERIFY(!order.mayWrite(FileOrder::kPresent, "/lab/share/20261208.txt"));
        order.release(newer);
        QVERIFY(!order.holdsAny());
    }

    // The storage thread between an earlier run's file and another: records held for the run are
    // confirmed only once their own file has flushed, whichever file went first; END while they
    // wait and flushes fail ends at once, handing back the held records alone.
    void heldRecordsAreConfirmedByTheirOwnFlush() {
        using namespace std::chrono_literals;
        const QByteArray folder = QFile::encodeName(m_data->path());
        const auto record = [&](quint64 seq, const char* file) {
            PendingRecord r;
            r.seq = seq;
            r.target = {folder + '/' + file, folder, header()};
            r.record = file + QByteArray::number(seq);
            return r;
        };
        RecordingFileCalls calls;
        auto order = std::make_shared<FileOrder>();
        const QString earlier = QStringLiteral("unwritten-records-20261207-080000-1");
        {
            StorageWorker worker(
                calls, nullptr, [] {}, order);
            order->hold(earlier, {folder + "/20261207.txt"});
            worker.push(record(1, "20261207.txt")); // waits for the earlier run
            worker.push(record(2, "20261208.txt"));
            QTRY_COMPARE(worker.queued(), 1);
            QVERIFY(worker.waitsForEarlierRun());
            QTRY_VERIFY(calls.flushes().size() >= 2); // 2 is flushed, 1 is not written
            calls.syncMs = 3000;                      // the next flush is far off
            worker.push(record(3, "20261208.txt"));
            worker.orderChanged(); // as the store's watch does
            QTRY_COMPARE(worker.queued(), 1);
            order->release(earlier); // 1 is written while 3 waits for its flush
            worker.orderChanged();
            QTRY_COMPARE(worker.queued(), 0);
            QCOMPARE(worker.confirmedThrough(), quint64(0));
            QTRY_COMPARE_WITH_TIMEOUT(worker.confirmedThrough(), quint64(3), 15'000);
        }
        calls.syncMs = 0;
        StorageWorker worker(
            calls, nullptr, [] {}, order);
        order->hold(earlier, {folder + "/20261207.txt"});
        worker.push(record(3, "20261207.txt"));
        worker.push(record(4, "20261208.txt"));
        QTRY_COMPARE(worker.queued(), 1);
        calls.failSyncs = 1'000'000;
        worker.push(record(5, "20261208.txt"));
        QTRY_COMPARE(worker.queued(), 1);
        QElapsedTimer ending;
        ending.start();
        QList<PendingRecord> left;
        QVERIFY(worker.finish(3s, left));
        QVERIFY2(ending.elapsed() < 1000, qPrintable(QString::number(ending.elapsed())));
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].seq, quint64(3));
    }

    // An earlier run that wrote all it had for today's file lets go of it, though its records
    // for a folder that is gone still wait: the present's records for today go on.
    void aRunLetsGoOfAFileItHasWritten() {
        QList<PendingRecord> run = leftovers(QFile::encodeName(m_data->path()), numbered("old", 3));
        run += leftovers(QFile::encodeName(m_data->filePath("gone/lab")), {"lost"});
        run.last().seq = 4;
        QVERIFY(writeRun("20261207-090000", run));
        RecordingFileCalls calls;
        Store s(calls, spoolFolder());
        s.store.startPressed();
        s.records({"new"});
        QTRY_COMPARE(dataFile(), header() + ::lines(numbered("old", 3)) + "new\r\n");
        QTRY_COMPARE(s.view.storageWords.last(),
                     "1 records from an earlier run wait for " + m_data->filePath("gone/lab"));
    }

    // A full medium: records that keep arriving are no reason to try again at once. The thread
    // tries about once a second, and the places of the records it tries go to the marks once,
    // not once a try; all are written once the medium has room.
    void aFullMediumIsTriedOnceASecond() {
        QFile file(m_data->filePath("20261207.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(header()) > 0);
        file.close();
        RecordingFileCalls calls;
        calls.full = true;
        Store s(calls, spoolFolder());
        QList<QByteArray> sent;
        QElapsedTimer sending;
        sending.start();
        while (sending.elapsed() < 4000) {
            sent << "r" + QByteArray::number(sent.size());
            s.records({sent.last()});
            QTest::qWait(20);
        }
        QVERIFY2(calls.dataAppends <= 7, qPrintable(QString::number(calls.dataAppends)));
        QTRY_COMPARE(spooled(spoolFolder()), sent);
        qint64 marks = 0;
        for (const QFileInfo& info : QDir(spoolFolder()).entryInfoList({"*.marks"}, QDir::Files))
            marks += info.size();
        QVERIFY2(marks < 16 * sent.size() + 1024, qPrintable(QString::number(marks)));
        calls.full = false;
        QVERIFY(s.written(5000));
        QCOMPARE(dataFile(), header() + ::lines(sent));
    }

    // One logger replays a spool: a second one that presses START while the first is still
    // writing it adopts nothing, and every record lands once.
    void oneLoggerReplaysASpool() {
        writeLeftovers(QFile::encodeName(m_data->path()), numbered("old", 3));
        RecordingFileCalls first;
        Store a(first, spoolFolder());
        first.hold();
        a.store.startPressed();
        QTRY_COMPARE(first.held(), 1);
        RecordingFileCalls second;
        Store b(second, spoolFolder());
        b.store.startPressed();
        QTest::qWait(300);
        QCOMPARE(b.view.storageWords.filter("earlier run"), QStringList());
        QCOMPARE(spooled(spoolFolder()), numbered("old", 3));
        first.release();
        QTRY_COMPARE(dataFile(), header() + ::lines(numbered("old", 3)));
        b.records({"b1"});
        QVERIFY(b.written());
        QCOMPARE(dataFile(), header() + ::lines(numbered("old", 3)) + "b1\r\n");
        QTRY_COMPARE(spooled(spoolFolder()), QList<QByteArray>());
    }

    // Files of other names beside a spool (notes, a copy, a folder) are no run: they are left
    // as they are and do not stop the run beside them from being written once.
    void strayFilesAreNoRun() {
        writeLeftovers(QFile::encodeName(m_data->path()), numbered("old", 3));
        const QStringList strays{"notes.spool", "unwritten-records-x.txt",
                                 "unwritten-records-.spool", "unwritten-records-y.spool.bak"};
        QDir state(spoolFolder());
        for (const QString& name : strays) {
            QFile stray(state.filePath(name));
            QVERIFY(stray.open(QIODevice::WriteOnly) && stray.write("not ours\n") == 9);
        }
        QVERIFY(state.mkdir("unwritten-records-z.000001.spool"));
        RecordingFileCalls calls;
        Store s(calls, spoolFolder());
        s.store.startPressed();
        QTRY_COMPARE(dataFile(), header() + ::lines(numbered("old", 3)));
        QTRY_COMPARE(s.view.storageWords.last(), "3 records kept from an earlier run written");
        for (const QString& name : strays)
            QCOMPARE(fileText(state.filePath(name)), QByteArray("not ours\n"));
        QVERIFY(QFileInfo(state.filePath("unwritten-records-z.000001.spool")).isDir());
        QCOMPARE(state.entryList({"*.damaged"}, QDir::Files), QStringList());
    }

    // A damaged frame costs itself alone, and a frame whose target is no data file of ours is
    // written nowhere; the spool is then kept aside under another name, and panel 1 says where.
    void damageCostsTheDamagedFrameAlone() {
        const QByteArray folder = QFile::encodeName(m_data->path());
        const QList<QByteArray> records = numbered("r", 20);
        QList<PendingRecord> frames = leftovers(folder, records);
        frames[7].target.path = folder + "/notes.txt";
        const QString spool = writeLeftovers(frames);
        QByteArray bytes = fileText(spool);
        bytes[bytes.indexOf(QByteArray("\x02\0\0\0r4", 6)) + 5] = 'X'; // in its record
        QFile file(spool);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        RecordingFileCalls calls;
        Store s(calls, spoolFolder());
        s.store.startPressed();
        QList<QByteArray> expected = records;
        expected.removeAt(7);
        expected.removeAt(4);
        QTRY_COMPARE(dataFile(), header() + ::lines(expected));
        QTRY_COMPARE(s.view.storageWords.last(),
                     "18 records kept from an earlier run written; A damaged spool is kept as " +
                         spool + ".damaged");
        QVERIFY(QFile::exists(spool + ".damaged"));
        QVERIFY(!QFile::exists(m_data->filePath("notes.txt")));
    }

    // A look-up that hangs (a share that stopped answering) is not asked again while it is out:
    // the same question gets no answer at once and no thread of its own, and hears the one
    // answer when it comes.
    void aHungLookUpIsAskedOnce() {
        using namespace std::chrono_literals;
        std::mutex mutex;
        std::condition_variable answered;
        bool answer = false;
        std::atomic<int> asked{0};
        const std::function<QString()> question = [&] {
            ++asked;
            std::unique_lock lock(mutex);
            answered.wait(lock, [&] { return answer; });
            return QStringLiteral("found");
        };
        QObject receiver;
        QStringList heard;
        const std::function<void(const QString&)> late = [&](const QString& a) { heard << a; };
        QVERIFY(!answerInTime<QString>("q", question, 50ms, &receiver, late));
        QElapsedTimer asking;
        asking.start();
        QVERIFY(!answerInTime<QString>("q", question, 5s, &receiver, late));
        QVERIFY(asking.elapsed() < 1000);
        QCOMPARE(asked.load(), 1);
        {
            const std::lock_guard lock(mutex);
            answer = true;
        }
        answered.notify_all();
        QTRY_COMPARE(heard, (QStringList{"found", "found"}));
        QCOMPARE(answerInTime<QString>("q", question, 5s, &receiver, late), QString("found"));
        QCOMPARE(asked.load(), 2);
    }

private:
    // Records of an earlier run, for `folder`'s file of FakeClock's day.
    static QList<PendingRecord> leftovers(const QByteArray& folder,
                                          const QList<QByteArray>& texts) {
        QList<PendingRecord> records;
        for (const QByteArray& text : texts) {
            PendingRecord record;
            record.seq = static_cast<quint64>(records.size() + 1);
            record.target = {folder + "/20261207.txt", folder, header()};
            record.record = text;
            record.stampMs = FakeClock().nowMs();
            records << record;
        }
        return records;
    }
    // A spool left by a run that has ended; its first segment file.
    QString writeLeftovers(const QList<PendingRecord>& records) {
        Spool spool(spoolFolder());
        spool.appendRecords(records);
        spool.finish({}, std::chrono::seconds(5));
        return QDir(spoolFolder()).filePath(Spool::segmentName(spool.name(), 1));
    }
    QString writeLeftovers(const QByteArray& folder, const QList<QByteArray>& texts) {
        return writeLeftovers(leftovers(folder, texts));
    }
    // A spool left by a run that began at `started`, which orders it among the runs.
    // No logger holds the run: its lock can be taken (and is let go again).
    bool runIsFree(const char* started) {
        QLockFile lock(
            QDir(spoolFolder())
                .filePath(
                    QStringLiteral("unwritten-records-%1-1.lock").arg(QLatin1String(started))));
        lock.setStaleLockTime(0);
        return lock.tryLock(0);
    }
    bool writeRun(const char* started, const QList<PendingRecord>& records) {
        const QString old = QFileInfo(writeLeftovers(records)).fileName().section(u'.', 0, 0);
        const QString name = QStringLiteral("unwritten-records-%1-1").arg(QLatin1String(started));
        QDir dir(spoolFolder());
        const QStringList files = dir.entryList({old + ".*"}, QDir::Files);
        return !files.isEmpty() && std::all_of(files.begin(), files.end(), [&](const QString& f) {
            return dir.rename(f, name + f.mid(old.size()));
        });
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TstStorage test;
    QTEST_SET_MAIN_SOURCE_PATH
    return execTests(&test, argc, argv);
}
#include "tst_storage.moc"
