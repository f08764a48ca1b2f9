// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/core/varlin_def.h"
#include "acquisition/storage/data_file.h"
#include "support/test_kit.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <memory>
#include <sys/resource.h>

class TestDataFile : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    FakeClock m_clock;
    LocalTimeCache m_localTime;

    // The file of a record whose line ends now, opened.
    int32_t open(DataFileWriter& writer) {
        return writer.File_open(fileTargetAt(m_localTime, m_clock.nowMs()));
    }

    QByteArray contents(const QString& name) const { return fileText(m_dir->filePath(name)); }
    bool put(const QString& name, const QByteArray& bytes) const {
        QFile file(m_dir->filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

private Q_SLOTS:
    void initTestCase() {
        // A file size limit stands in for a full disk; its signal must not end the test.
        std::signal(SIGXFSZ, SIG_IGN);
    }
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        loadStartValues(QFile::encodeName(m_dir->path()));
        m_clock = FakeClock{};
    }

    void fileNamedAfterClock_data() {
        QTest::addColumn<int16_t>("hourly");
        QTest::addColumn<QString>("savePathSuffix");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QString>("pathTail");
        QTest::newRow("daily") << kFalse << "" << QTime(10, 0) << "/20261207.txt";
        QTest::newRow("hourly") << kTrue << "" << QTime(9, 59, 59) << "/20261207_09.txt";
        QTest::newRow("hourly at midnight") << kTrue << "" << QTime(0, 0) << "/20261207_00.txt";
        QTest::newRow("folder ending in /") << kFalse << "/" << QTime(10, 0) << "//20261207.txt";
    }
    void fileNamedAfterClock() {
        QFETCH(int16_t, hourly);
        QFETCH(QString, savePathSuffix);
        QFETCH(QTime, time);
        QFETCH(QString, pathTail);
        varlin_def.HourlyFiles = hourly;
        varlin_def.SavePath += savePathSuffix.toLatin1();
        m_clock.current.setTime(time);
        DataFileWriter writer;
        QCOMPARE(open(writer), 0);
        QCOMPARE(varlin_def.DataFilePath, QFile::encodeName(m_dir->path() + pathTail));
        QVERIFY(writer.readyForRecords());
        QVERIFY(QFile::exists(QString::fromLatin1(varlin_def.DataFilePath)));
    }

    // The texts written field by field are exactly those of Qt's patterns, whatever second the
    // cache last converted; a time before the epoch keeps its milliseconds positive.
    void timesWrittenAsQtPatterns_data() {
        QTest::addColumn<QDateTime>("when");
        const auto at = [](int y, int mo, int d, int h, int mi, int s, int ms) {
            return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
        };
        QTest::newRow("midnight") << at(2026, 12, 8, 0, 0, 0, 0);
        QTest::newRow("last millisecond of a year") << at(2026, 12, 31, 23, 59, 59, 999);
        QTest::newRow("leap day, year 2000") << at(2000, 2, 29, 9, 5, 7, 5);
        QTest::newRow("before the epoch") << at(1969, 12, 31, 23, 59, 59, 500);
        QTest::newRow("three-digit year") << at(999, 1, 2, 3, 4, 5, 60);
    }
    void timesWrittenAsQtPatterns() {
        QFETCH(QDateTime, when);
        LocalTimeCache cache;
        const qint64 ms = when.toMSecsSinceEpoch();
        cache.at(ms - 1000);
        const LocalTime t = cache.at(ms);
        const auto qt = [&](const char* pattern) {
            return when.toString(QLatin1StringView(pattern)).toLatin1();
        };
        QCOMPARE(stampText(t, true), qt("yyyy/MM/dd,hh:mm:ss.zzz"));
        QCOMPARE(stampText(t, false), qt("yyyy/MM/dd,hh:mm:ss"));
        QCOMPARE(fileNameText(t, true), qt("yyyyMMdd_hh"));
        QCOMPARE(fileNameText(t, false), qt("yyyyMMdd"));
        QCOMPARE(shortDateText(t), qt("yy/MM/dd"));
        QCOMPARE(timeText(t), qt("hh:mm:ss"));
        QCOMPARE(stampText(cache.at(ms - t.msec + 999), true).right(3), QByteArray("999"));
    }

    void headerOnlyForEmptyFile_data() {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("comment");
        QTest::addColumn<QByteArray>("after");
        const QByteArray line = "\x10 1.5,\x80\xff\r\n";
        QTest::newRow("new file, comment")
            << false << QByteArray() << QByteArray("bay 3, probe") << header("bay 3, probe") + line;
        QTest::newRow("new file, no comment")
            << false << QByteArray() << QByteArray() << header() + line;
        QTest::newRow("existing empty file")
            << true << QByteArray() << QByteArray("c") << header("c") + line;
        QTest::newRow("existing file with lines")
            << true << QByteArray("old\r\n") << QByteArray("c") << "old\r\n" + line;
    }
    void headerOnlyForEmptyFile() {
        QFETCH(bool, exists);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, comment);
        QFETCH(QByteArray, after);
        if (exists)
            QVERIFY(put(QStringLiteral("20261207.txt"), before));
        varlin_def.FileComment = comment;
        DataFileWriter writer;
        QCOMPARE(open(writer), 0);
        QVERIFY(writer.readyForRecords());
        QCOMPARE(writer.writeLine("\x10 1.5,\x80\xff"), 0);
        writer.close();
        writer.close(); // a second close does nothing
        QCOMPARE(contents(QStringLiteral("20261207.txt")), after);
    }

    void missingFolderReportsOpenError() {
        varlin_def.SavePath += "/absent";
        DataFileWriter writer;
        QCOMPARE(open(writer), ENOENT);
        QCOMPARE(dataFileErrorText(ENOENT), QStringLiteral("Data file output error.  2"));
        QVERIFY(!writer.readyForRecords());
        QVERIFY(varlin_def.DataFilePath.endsWith("/absent/20261207.txt"));
        QCOMPARE(writer.writeLine("x"), ENOENT);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());
    }

    // A medium that fills up mid-write must not leave half a line behind.
    void fullMediumLeavesNoPartialLine_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<bool>("ready");
        QTest::addColumn<int32_t>("openError");
        QTest::newRow("header cut short") << QByteArray() << false << int32_t(ENOSPC);
        QTest::newRow("record cut short") << QByteArray("old\r\n") << true << int32_t(0);
    }
    void fullMediumLeavesNoPartialLine() {
        QFETCH(QByteArray, before);
        QFETCH(bool, ready);
        QFETCH(int32_t, openError);
        QVERIFY(put(QStringLiteral("20261207.txt"), before));
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved;
        small.rlim_cur = 12;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        DataFileWriter writer;
        const int32_t opened = open(writer);
        const bool wasReady = writer.readyForRecords();
        const int32_t code = writer.writeLine("0123456789");
        writer.close();
        setrlimit(RLIMIT_FSIZE, &saved);
        QCOMPARE(wasReady, ready);
        QCOMPARE(code, ENOSPC);
        QCOMPARE(opened, openError);
        QCOMPARE(contents(QStringLiteral("20261207.txt")), before);
    }

    // What was written reaches the medium at once when no flush ran for a second, otherwise a
    // second after the last flush ended, however long that flush took.
    void flushesASecondAfterTheLastOneEnded() {
        using namespace std::chrono;
        RecordingFileCalls calls;
        DataFileWriter writer(calls);
        QCOMPARE(writer.flushDue(), DataFileWriter::Clock::time_point::max()); // nothing written
        QByteArray expected = header();
        const auto record = [&](const QByteArray& line) {
            QCOMPARE(open(writer), 0);
            QCOMPARE(writer.writeLine(line), 0);
            writer.close();
            expected += line + "\r\n";
        };
        record("r1");
        QVERIFY(writer.flushDue() <= DataFileWriter::Clock::now());
        writer.flushNow();
        QCOMPARE(calls.flushes().size(), 2);
        QCOMPARE(calls.flushes()[0].contents, expected);
        QVERIFY(calls.flushes()[1].folder); // the new file's name too

        calls.syncMs = 300;
        record("r2");
        writer.flushNow();
        QCOMPARE(writer.flushDue(), DataFileWriter::Clock::time_point::max());
        record("r3");
        const auto wait =
            duration_cast<milliseconds>(writer.flushDue() - DataFileWriter::Clock::now());
        QVERIFY2(wait > milliseconds(900) && wait <= DataFileWriter::kFlushInterval,
                 qPrintable(QString::number(wait.count())));
        writer.flushNow();
        QCOMPARE(calls.flushes().size(), 4);
        QCOMPARE(calls.flushes()[3].contents, expected);
        writer.flushNow(); // nothing new: nothing to flush
        QCOMPARE(calls.flushes().size(), 4);
    }

    // Whether a record whose write was begun is in its file: by its place and the file's
    // identity, never by its text.
    void aRecordIsJudgedByItsPlace_data() {
        QTest::addColumn<QByteArray>("records"); // after the header; "<gone>": no file
        QTest::addColumn<qsizetype>("at");       // where the line's write began, after it
        QTest::addColumn<bool>("sameFile");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QByteArray>("rest");
        const auto row = [](const char* name, const QByteArray& records, qsizetype at,
                            bool sameFile, const QByteArray& line, PlaceVerdict::Is is,
                            const QByteArray& rest = {}) {
            QTest::newRow(name) << records << at << sameFile << line << static_cast<int>(is)
                                << rest;
        };
        using Is = PlaceVerdict::Is;
        row("there", "0.000 g\r\n0.000 g\r\n", 9, true, "0.000 g\r\n", Is::Written);
        row("an equal neighbour only", "0.000 g\r\n", 9, true, "0.000 g\r\n", Is::Missing);
        row("another logger appended after it", "A\r\nB\r\n", 0, true, "A\r\n", Is::Written);
        row("another's line at its place", "X\r\n", 0, true, "A\r\n", Is::Missing);
        row("the file ends within it", "0.000 g\r\n0.0", 9, true, "0.000 g\r\n", Is::Torn,
            "00 g\r\n");
        row("zeros after a power cut", QByteArray("0.0\0\0", 5), 0, true, "0.000 g\r\n",
            Is::Garbled);
        // The size reached the medium, the data did not: zeros from the place to the end.
        const QByteArray piece(qsizetype{64} * 1024, '\0');
        row("zeros, less than a line", QByteArray(3, '\0'), 0, true, "0.000 g\r\n", Is::Garbled);
        row("zeros, exactly a line", QByteArray(9, '\0'), 0, true, "0.000 g\r\n", Is::Garbled);
        row("zeros, several lines", QByteArray(30, '\0'), 0, true, "0.000 g\r\n", Is::Garbled);
        row("zeros after part of it", "0.0" + QByteArray(27, '\0'), 0, true, "0.000 g\r\n",
            Is::Garbled);
        row("zeros past a read's piece", piece + piece, 0, true, "A\r\n", Is::Garbled);
        row("another's byte after the zeros", QByteArray(30, '\0') + "B", 0, true, "A\r\n",
            Is::Missing);
        row("another's byte a piece on", piece + piece + "B", 0, true, "A\r\n", Is::Missing);
        row("another file by that name", "A\r\n", 0, false, "A\r\n", Is::Missing);
        row("no file", "<gone>", 0, true, "A\r\n", Is::Missing);
    }
    void aRecordIsJudgedByItsPlace() {
        QFETCH(QByteArray, records);
        QFETCH(qsizetype, at);
        QFETCH(bool, sameFile);
        QFETCH(QByteArray, line);
        QFETCH(int, verdict);
        QFETCH(QByteArray, rest);
        // The file the line went to, and, when another took its name, that one's header.
        const QByteArray head = header();
        QVERIFY(records == "<gone>" ||
                put("20261207.txt", (sameFile ? head : header("moved")) + records));
        const PlaceVerdict judged =
            judgePlace(systemFileCalls(), QFile::encodeName(m_dir->filePath("20261207.txt")),
                       {head.size() + at, fileIdOf(head)}, line);
        QCOMPARE(static_cast<int>(judged.is), verdict);
        QCOMPARE(judged.rest, rest);
    }

    // A power cut left a batch's stretch of zeros: its first record is cut back to and
    // written, the rest, past the file's end then, are the caller's to write after it, in order.
    void aBatchInOneStretchOfZeros() {
        const QByteArray head = header() + "A\r\n";
        QList<PendingRecord> batch;
        qint64 at = head.size();
        for (const char* record : {"1.5 g", "2.5 g", "3.5 g"}) {
            PendingRecord& pending = batch.emplace_back();
            pending.record = record;
            pending.place = {at, fileIdOf(head)};
            at += pending.record.size() + 2;
        }
        QVERIFY(put("20261207.txt", head + QByteArray(at - head.size(), '\0')));
        QList<bool> landed;
        int32_t flushError = -1;
        QCOMPARE(settlePlaced(systemFileCalls(), QFile::encodeName(m_dir->filePath("20261207.txt")),
                              batch, landed, flushError),
                 0);
        QCOMPARE(flushError, 0);
        QCOMPARE(landed, QList<bool>({true, false, false}));
        DataFileWriter writer;
        QCOMPARE(open(writer), 0);
        QCOMPARE(writer.nextPlace().offset, batch[1].place.offset);
        QCOMPARE(writer.appendLines("2.5 g\r\n3.5 g\r\n"), 0);
        writer.close();
        QCOMPARE(contents("20261207.txt"), head + "1.5 g\r\n2.5 g\r\n3.5 g\r\n");
    }

    // A file whose length cannot be learned may hold lines: nothing is written to it.
    void anUnknownLengthWritesNothing_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("a file with lines") << header() + "A\r\n";
        QTest::newRow("an empty file") << QByteArray();
    }
    void anUnknownLengthWritesNothing() {
        QFETCH(QByteArray, before);
        struct LengthFails final : FileCalls {
            int fileLength(int, qint64&) override { return EIO; }
        } calls;
        QVERIFY(put("20261207.txt", before));
        DataFileWriter writer(calls);
        QCOMPARE(open(writer), EIO);
        QVERIFY(!writer.readyForRecords());
        QCOMPARE(writer.writeLine("B"), EIO);
        writer.close();
        QCOMPARE(contents("20261207.txt"), before);
    }

    // Another program appends between the writer's look at the file and its write: the writer
    // says where its lines landed.
    void anAppendInBetweenMovesThePlace() {
        DataFileWriter writer;
        QCOMPARE(open(writer), 0);
        const qint64 at = writer.nextPlace().offset;
        QFile other(m_dir->filePath("20261207.txt"));
        QVERIFY(other.open(QIODevice::Append) && other.write("other\r\n") == 7);
        other.close();
        QCOMPARE(writer.appendLines("A\r\n"), 0);
        writer.close();
        QCOMPARE(writer.lastAppendAt(), at + 7);
        QCOMPARE(contents("20261207.txt"), header() + "other\r\nA\r\n");
    }

    // A crash left part of a line at the end of the file: the next record starts a line of
    // its own.
    void aPartLineAtTheEndGetsItsLineEnd() {
        QVERIFY(put("20261207.txt", header() + "A\r\n12.3"));
        DataFileWriter writer;
        QCOMPARE(open(writer), 0);
        QCOMPARE(writer.writeLine("B"), 0);
        writer.close();
        QCOMPARE(contents("20261207.txt"), header() + "A\r\n12.3\r\nB\r\n");
    }
};

QTEST_GUILESS_MAIN(TestDataFile)
#include "tst_data_file.moc"
