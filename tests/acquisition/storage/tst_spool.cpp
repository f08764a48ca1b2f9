// SPDX-License-Identifier: GPL-3.0-or-later
// The spool on its own: it writes nothing it does not own, keeps what it could not write, in
// order, and its marks stay within their bound however often the same records are logged, and
// say what a replay must skip even when a segment could not be removed.

#include "acquisition/platform/platform_files.h"
#include "acquisition/storage/spool.h"
#include "acquisition/storage/spool_format.h"
#include "support/test_kit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>

namespace {

const QByteArray kHeader = " Recive Data ,26/12/07,10:00:00,\r\n";

QList<PendingRecord> records(quint64 from, quint64 to, const QByteArray& folder) {
    QList<PendingRecord> result;
    for (quint64 seq = from; seq <= to; ++seq) {
        PendingRecord r;
        r.seq = seq;
        r.target = {folder + "/20261207.txt", folder, kHeader};
        r.record = "reading " + QByteArray::number(seq);
        r.spooled = true;
        result << r;
    }
    return result;
}

QList<SeqPlace> places(quint64 from, quint64 count, qint64 offset) {
    QList<SeqPlace> result;
    for (quint64 i = 0; i < count; ++i)
        result.append({from + i, offset + static_cast<qint64>(i) * 20});
    return result;
}

QStringList filesIn(const QString& folder, const QString& pattern) {
    return QDir(folder).entryList({pattern}, QDir::Files);
}

// The records the segments of `folder` hold are exactly seqs from..to, once each, in order.
bool spooledOnceInOrder(const QString& folder, quint64 from, quint64 to) {
    const QList<PendingRecord> found = spooledRecords(folder);
    bool ok = found.size() == static_cast<qsizetype>(to - from + 1);
    for (qsizetype i = 0; ok && i < found.size(); ++i)
        ok = found[i].seq == from + static_cast<quint64>(i) &&
             found[i].record == "reading " + QByteArray::number(found[i].seq);
    return ok;
}

// Segment removals fail while `failRemovals` is above 0, as a virus scanner makes them; the
// flushes of marks files are counted.
class SpoolCalls final : public FileCalls {
public:
    int removeFile(const QByteArray& path) override {
        if (path.endsWith(".spool") && failRemovals > 0) {
            --failRemovals;
            return EACCES;
        }
        return FileCalls::removeFile(path);
    }
    int dataSync(int fd) override {
        const QString path = QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd)).symLinkTarget();
        if (path.endsWith(QLatin1String(".marks")))
            ++marksSyncs;
        return FileCalls::dataSync(fd);
    }
    // Reads of segments wait while `holdReads`, as on a state folder that hangs.
    int readAt(const QByteArray& path, qint64 offset, qsizetype size, QByteArray& bytes) override {
        if (path.endsWith(".spool")) {
            std::unique_lock lock(m_mutex);
            m_released.wait(lock, [this] { return !holdReads; });
        }
        const int error = FileCalls::readAt(path, offset, size, bytes);
        ++reads;
        return error;
    }
    void holdTheReads(bool hold) {
        const std::lock_guard lock(m_mutex);
        holdReads = hold;
        m_released.notify_all();
    }
    std::atomic<int> failRemovals{0};
    std::atomic<int> marksSyncs{0};
    std::atomic<int> reads{0};

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool holdReads = false;
};

// What a read of the spool brought back, on the spool's thread.
struct ReadBack {
    std::mutex mutex;
    bool done = false;
    QList<quint64> seqs;
    SpoolPosition next;
    Spool::ReadDone take() {
        return [this](const QList<PendingRecord>& records, SpoolPosition at) {
            const std::lock_guard lock(mutex);
            for (const PendingRecord& record : records)
                seqs << record.seq;
            next = at;
            done = true;
        };
    }
    bool arrived() {
        const std::lock_guard lock(mutex);
        return done;
    }
};

} // namespace

class TstSpool : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_state;
    QString folder() const { return m_state->path(); }
    QByteArray dataFolder() const { return QFile::encodeName(folder()) + "/data"; }
    QString marksPath(const Spool& spool) const {
        return QDir(folder()).filePath(spool.name() + QStringLiteral(".marks"));
    }
    qint64 marksSize(const Spool& spool) const { return QFileInfo(marksPath(spool)).size(); }

private Q_SLOTS:
    void init() { m_state = std::make_unique<QTemporaryDir>(); }

    // Which folders a spooled record may be written into, as Linux spells them.
    void targets_data() {
        QTest::addColumn<QByteArray>("folder");
        QTest::addColumn<bool>("absolute");
        QTest::addColumn<bool>("writable");
        QTest::newRow("absolute") << QByteArray("/x") << true << true;
        QTest::newRow("drive") << QByteArray("C:/x") << false << false;
        QTest::newRow("relative") << QByteArray("x") << false << false;
        QTest::newRow("dot dot") << QByteArray("/x/..") << true << false;
    }
    void targets() {
        QFETCH(QByteArray, folder);
        QFETCH(bool, absolute);
        QFETCH(bool, writable);
        QCOMPARE(isAbsoluteFolder(folder), absolute);
        QCOMPARE(SpoolFormat::mayBeWritten(records(1, 1, folder).first()), writable);
    }

    // Records wait in a folder of the account's alone, whatever the umask lets others have:
    // made so, not made open and closed after.
    void theFolderIsTheAccountsAlone() {
        const QString inside = QDir(folder()).filePath(QStringLiteral("state/tessaline"));
        const mode_t umaskBefore = ::umask(0);
        const auto restore = qScopeGuard([umaskBefore] { ::umask(umaskBefore); });
        Spool spool(inside);
        spool.appendRecords(records(1, 3, dataFolder()));
        QTRY_VERIFY(spooledOnceInOrder(inside, 1, 3));
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(inside).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0700));
        spool.dropThrough(3);
        QVERIFY(spool.finish({}, std::chrono::seconds(5)));
    }

    // A read of the spool is the spool's thread's: the caller goes on at once while the folder
    // hangs, appends meanwhile are kept, and the read brings back exactly what was appended
    // before it was asked for, in order; the next read, from where it ended, the rest. At the
    // end a thread left in a read is left behind within the deadline, keeping the run's lock.
    void readsLeaveTheCallerFree() {
        SpoolCalls calls;
        Spool spool(folder(), calls);
        spool.appendRecords(records(1, 300, dataFolder()));
        calls.holdTheReads(true);
        ReadBack first;
        QElapsedTimer asked;
        asked.start();
        spool.readFrom({1, 0}, qint64(1) << 20, first.take());
        spool.appendRecords(records(301, 310, dataFolder()));
        QVERIFY2(asked.elapsed() < 50, qPrintable(QString::number(asked.elapsed())));
        QTest::qWait(200);
        QVERIFY(!first.arrived());
        calls.holdTheReads(false);
        QTRY_VERIFY(first.arrived());
        QList<quint64> expected;
        for (quint64 seq = 1; seq <= 300; ++seq)
            expected << seq;
        QCOMPARE(first.seqs, expected);
        qint64 framed = 0;
        for (const PendingRecord& record : records(1, 300, dataFolder()))
            framed += SpoolFormat::recordFrame(record).size();
        QCOMPARE(first.next, (SpoolPosition{1, framed}));
        ReadBack rest;
        spool.readFrom(first.next, qint64(1) << 20, rest.take());
        QTRY_VERIFY(rest.arrived());
        QCOMPARE(rest.seqs, (QList<quint64>{301, 302, 303, 304, 305, 306, 307, 308, 309, 310}));
        QCOMPARE(rest.next, spool.nextAppendAt());

        calls.holdTheReads(true);
        const int readsBefore = calls.reads;
        ReadBack hung;
        spool.readFrom({1, 0}, qint64(1) << 20, hung.take());
        QElapsedTimer ending;
        ending.start();
        QVERIFY(!spool.finish({}, std::chrono::milliseconds(500)));
        QVERIFY2(ending.elapsed() < 1000, qPrintable(QString::number(ending.elapsed())));
        QVERIFY(QFile::exists(QDir(folder()).filePath(spool.name() + QStringLiteral(".lock"))));
        // The thread left behind goes on once the read returns, and begins nothing after it.
        calls.holdTheReads(false);
        QTRY_VERIFY(calls.reads > readsBefore && hung.arrived());
        QTest::qWait(100);
    }

    // A directory where the lock file goes: the spool fails and writes nothing, places
    // included, keeping what it was given; once it is gone the lock is taken and every record
    // is written once, in order, with the places logged meanwhile.
    void noSegmentWithoutTheLock() {
        Spool spool(folder());
        const QString lockPath = QDir(folder()).filePath(spool.name() + QStringLiteral(".lock"));
        QVERIFY(QDir().mkdir(lockPath));
        spool.appendRecords(records(1, 50, dataFolder()));
        QTRY_VERIFY(spool.failing());
        spool.placementLog()->logPlaces(dataFolder() + "/20261207.txt", 7, places(1, 50, 100));
        spool.appendRecords(records(51, 80, dataFolder()));
        QTest::qWait(1500); // a retry or two
        QVERIFY(spool.failing());
        QCOMPARE(filesIn(folder(), QStringLiteral("unwritten-records-*")), QStringList());

        QVERIFY(QDir().rmdir(lockPath));
        QTRY_VERIFY_WITH_TIMEOUT(!spool.failing(), 5000);
        QVERIFY(QFileInfo(lockPath).isFile());
        QVERIFY(spooledOnceInOrder(folder(), 1, 80));
        const SpoolMarks marks = Spool::readMarks(marksPath(spool));
        QCOMPARE(marks.places.size(), 50);
        QCOMPARE(marks.places.value(50).place.offset, 100 + 49 * 20);

        spool.dropThrough(80);
        QVERIFY(spool.finish({}, std::chrono::seconds(5)));
        QCOMPARE(QDir(folder()).entryList(QDir::Files), QStringList());
    }

    // A retry of the same records at the same places writes and flushes nothing; a moved
    // place is written, alone.
    void placesAreLoggedOnce() {
        SpoolCalls calls;
        Spool spool(folder(), calls);
        spool.appendRecords(records(1, 256, dataFolder()));
        QTRY_VERIFY(!spooledRecords(folder()).isEmpty());
        const auto log = spool.placementLog();
        const QByteArray path = dataFolder() + "/20261207.txt";
        log->logPlaces(path, 7, places(1, 256, 0));
        const qint64 size = marksSize(spool);
        const int syncs = calls.marksSyncs;
        QVERIFY(size > qint64(256) * 16);
        log->logPlaces(path, 7, places(1, 256, 0));
        log->logPlaces(path, 7, places(1, 128, 0));
        QCOMPARE(marksSize(spool), size);
        QCOMPARE(calls.marksSyncs.load(), syncs);
        QList<SeqPlace> moved = places(1, 256, 0);
        moved[3].offset = 5;
        log->logPlaces(path, 7, moved);
        QCOMPARE(marksSize(spool), size + SpoolFormat::placesFrame(path, 7, {moved[3]}).size());
        QCOMPARE(Spool::readMarks(marksPath(spool)).places.value(4).place.offset, 5);
    }

    // The head batch retried at new places hundreds of times, then a stream confirmed as it
    // goes: the marks file stays within its bound and says the latest place of each record
    // not yet confirmed.
    void marksStayBounded() {
        Spool spool(folder());
        spool.appendRecords(records(1, 256, dataFolder()));
        QTRY_VERIFY(!spooledRecords(folder()).isEmpty());
        const auto log = spool.placementLog();
        const QByteArray path = dataFolder() + "/20261207.txt";
        std::map<quint64, qint64> latest;
        // The 256 places in memory and the headers of their frame.
        qint64 bound = Spool::kMarksRewriteBytes + qint64(256) * 16 + 256;
        for (int round = 0; round < 600; ++round) {
            const QList<SeqPlace> head = places(1, 256, qint64(round) * 7);
            log->logPlaces(path, 7, head);
            for (const SeqPlace& p : head)
                latest[p.seq] = p.offset;
            QVERIFY2(marksSize(spool) <= bound, QByteArray::number(marksSize(spool)).constData());
        }
        // Also those the spool's thread has yet to forget, as many as it lags behind.
        bound = Spool::kMarksRewriteBytes * 2;
        quint64 from = 1;
        for (int round = 0; round < 600; ++round, from += 128) {
            spool.appendRecords(records(from + 256, from + 383, dataFolder()));
            const QList<SeqPlace> window = places(from, 256, qint64(round) * 11);
            log->logPlaces(path, 9, window);
            for (const SeqPlace& p : window)
                latest[p.seq] = p.offset;
            spool.dropThrough(from + 127);
            QVERIFY2(marksSize(spool) <= bound, QByteArray::number(marksSize(spool)).constData());
        }
        QVERIFY(spool.finish({}, std::chrono::seconds(10)));
        const quint64 confirmed = from - 1;
        const SpoolMarks marks = Spool::readMarks(marksPath(spool));
        QCOMPARE(marks.confirmedThrough, confirmed);
        QCOMPARE(marks.places.size(), 128);
        for (auto it = marks.places.cbegin(); it != marks.places.cend(); ++it) {
            QVERIFY(it.key() > confirmed);
            QCOMPARE(it->place.offset, latest[it.key()]);
            QCOMPARE(it->place.fileId, 9u);
        }
    }

    // Marks of several MiB, damaged here and there and cut short at the end, read in pieces:
    // what intact frames say, and only the places of records not confirmed.
    void readMarksInPieces() {
        QByteArray bytes;
        std::map<quint64, qint64> latest;
        quint64 confirmed = 0;
        QRandomGenerator random(7);
        const QByteArray path = dataFolder() + "/20261207.txt";
        for (int frame = 0; bytes.size() < 3 * Spool::kMarksPieceBytes; ++frame) {
            const quint64 from = confirmed + 1 + random.bounded(64u);
            const QList<SeqPlace> some = places(from, 300, frame);
            QByteArray next = SpoolFormat::placesFrame(path, 7, some);
            if (frame % 37 == 5)
                next[20 + random.bounded(next.size() - 24)] ^= 0x5a; // damaged: says nothing
            else
                for (const SeqPlace& p : some)
                    latest[p.seq] = p.offset;
            bytes += next;
            if (frame % 3 == 2) {
                const quint64 through = from + 100;
                bytes += SpoolFormat::confirmedFrame(through);
                confirmed = through;
            }
            if (frame % 101 == 7)
                bytes += "TSR2 stray bytes";
        }
        bytes += SpoolFormat::placesFrame(path, 7, places(confirmed + 1, 400, 1)).chopped(9);
        QFile file(QDir(folder()).filePath(QStringLiteral("cut.marks")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();

        const SpoolMarks marks = Spool::readMarks(file.fileName());
        QCOMPARE(marks.confirmedThrough, confirmed);
        qsizetype unconfirmed = 0;
        for (const auto& [seq, offset] : latest) {
            if (seq <= confirmed)
                continue;
            ++unconfirmed;
            QCOMPARE(marks.places.value(seq).place.offset, offset);
        }
        QCOMPARE(marks.places.size(), unconfirmed);
        QCOMPARE(SpoolFormat::readMarks(bytes).places.size(), unconfirmed);
    }

    // A segment whose removal fails keeps the marks, which say its records are written, so a
    // replay skips them; once it can go, a later command or the end removes it, and the marks.
    // What is left is no longer this process's run, for a later START to take.
    void aSegmentThatStaysKeepsTheMarks_data() {
        QTest::addColumn<int>("failures");
        QTest::newRow("for a while") << 2; // the removal, and its retry at the next command
        QTest::newRow("until the end") << 1000;
    }
    void aSegmentThatStaysKeepsTheMarks() {
        QFETCH(int, failures);
        SpoolCalls calls;
        QString name;
        {
            Spool spool(folder(), calls);
            name = spool.name();
            QVERIFY(Spool::isOwnRun(name));
            QVERIFY(!Spool::isOwnRun(QStringLiteral("unwritten-records-20261207-100000-1")));
            spool.appendRecords(records(1, 20, dataFolder()));
            QTRY_VERIFY(spooledOnceInOrder(folder(), 1, 20));
            spool.placementLog()->logPlaces(dataFolder() + "/20261207.txt", 7, places(1, 20, 0));
            calls.failRemovals = failures;
            spool.dropThrough(20);
            QTRY_COMPARE(Spool::readMarks(marksPath(spool)).confirmedThrough, 20u);
            QCOMPARE(filesIn(folder(), QStringLiteral("*.spool")).size(), 1);
            if (failures == 2) {
                spool.appendRecords(records(21, 21, dataFolder()));
                QTRY_VERIFY(spooledOnceInOrder(folder(), 21, 21));
                spool.dropThrough(21);
            }
            QVERIFY(spool.finish({}, std::chrono::seconds(5)));
        }
        QVERIFY(!Spool::isOwnRun(name));
        QVERIFY(!QFile::exists(QDir(folder()).filePath(name + QStringLiteral(".lock"))));
        if (failures == 2) {
            QCOMPARE(QDir(folder()).entryList(QDir::Files), QStringList());
            return;
        }
        // What a replay would write: the records of the segment left beyond the marks'.
        const QStringList marksFiles = filesIn(folder(), QStringLiteral("*.marks"));
        QCOMPARE(marksFiles.size(), 1);
        const SpoolMarks marks = Spool::readMarks(QDir(folder()).filePath(marksFiles.first()));
        QVERIFY(spooledOnceInOrder(folder(), 1, 20));
        for (const PendingRecord& record : spooledRecords(folder()))
            QVERIFY(record.seq <= marks.confirmedThrough);
    }
};

QTEST_GUILESS_MAIN(TstSpool)
#include "tst_spool.moc"
