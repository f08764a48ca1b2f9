// SPDX-License-Identifier: GPL-3.0-or-later
// The spreadsheet copy beside each data file: its rows as a spreadsheet reads them, one per
// record in the data file and in its order, and a data file that stays what it was without it,
// even while the copy cannot be written.

#include "acquisition/core/varlin_def.h"
#include "acquisition/storage/record_store.h"
#include "acquisition/storage/spreadsheet_copy.h"
#include "support/fakes.h"
#include "support/test_kit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Store {
    Store(RecordingFileCalls& calls, const QString& spoolFolder)
        : store(clock, sink, view, calls, spoolFolder), m_calls(calls) {}
    ~Store() { m_calls.release(); }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    FakeClock clock;
    RecordingSink sink;
    RecordingView view;
    RecordStore store;

private:
    RecordingFileCalls& m_calls;
};

const CsvLayout kTwoPoint{2, false};

QByteArray row(const char* date, const char* time, const QByteArray& rest) {
    return QByteArray(date) + ',' + time + ',' + rest + "\r\n";
}

} // namespace

class TstSpreadsheetCopy : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_data;
    std::unique_ptr<QTemporaryDir> m_state;
    QByteArray file(const QString& name) const { return fileText(m_data->filePath(name)); }

private Q_SLOTS:
    void init() {
        m_data = std::make_unique<QTemporaryDir>();
        m_state = std::make_unique<QTemporaryDir>();
        loadStartValues(QFile::encodeName(m_data->path()));
    }

    void numbersAsASpreadsheetReadsThem_data() {
        QTest::addColumn<QByteArray>("number");
        QTest::addColumn<QByteArray>("point");
        QTest::addColumn<QByteArray>("comma");
        QTest::newRow("balance") << QByteArray("+0012.345") << QByteArray("12.345")
                                 << QByteArray("12,345");
        QTest::newRow("negative, padded")
            << QByteArray("-0000.020") << QByteArray("-0.020") << QByteArray("-0,020");
        QTest::newRow("a date to a spreadsheet")
            << QByteArray("9.10") << QByteArray("9.10") << QByteArray("9,10");
        QTest::newRow("exponent down")
            << QByteArray("1.2345e-03") << QByteArray("0.0012345") << QByteArray("0,0012345");
        QTest::newRow("exponent up")
            << QByteArray("+1.5E+3") << QByteArray("1500") << QByteArray("1500");
        QTest::newRow("exponent within")
            << QByteArray("12.3456e2") << QByteArray("1234.56") << QByteArray("1234,56");
        QTest::newRow("no whole part")
            << QByteArray(".5") << QByteArray("0.5") << QByteArray("0,5");
        QTest::newRow("point, no fraction")
            << QByteArray("5.") << QByteArray("5") << QByteArray("5");
        QTest::newRow("whole, zeros") << QByteArray("0070") << QByteArray("70") << QByteArray("70");
        QTest::newRow("zero") << QByteArray("000") << QByteArray("0") << QByteArray("0");
    }
    void numbersAsASpreadsheetReadsThem() {
        QFETCH(QByteArray, number);
        QFETCH(QByteArray, point);
        QFETCH(QByteArray, comma);
        QCOMPARE(plainDecimal(number, '.'), point);
        QCOMPARE(plainDecimal(number, ','), comma);
    }

    // Rows: the date and time of the line end, the numbers of the instrument's line (never the
    // logger's own stamp), their units, and the record as it is, quoted.
    void rowsOfRecords_data() {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<int>("lineFrom");
        QTest::addColumn<bool>("decimalComma");
        QTest::addColumn<QByteArray>("row");
        QTest::newRow("stamped balance")
            << QByteArray("2026/12/09,12:05:01.123,ST,+0012.345 g") << 24 << false
            << QByteArray(
                   R"(2026-12-09,12:05:01.123,12.345,g,,,"2026/12/09,12:05:01.123,ST,+0012.345 g")");
        QTest::newRow("sign apart, unit joined")
            << QByteArray("ST,NT,+ 1.234kg") << 0 << true
            << QByteArray(R"(2026-12-09;"12:05:01,123";"1,234";kg;;;"ST,NT,+ 1.234kg")");
        QTest::newRow("pH meter, UTF-8") << QByteArray("pH 7.01 25.3\xC2\xB0"
                                                       "C")
                                         << 0 << false
                                         << QByteArray("2026-12-09,12:05:01.123,7.01,,25.3,\xC2\xB0"
                                                       "C,\"pH 7.01 25.3\xC2\xB0"
                                                       "C\"");
        QTest::newRow("Latin-1 degree") << QByteArray("25.3\xB0"
                                                      "C")
                                        << 0 << false
                                        << QByteArray("2026-12-09,12:05:01.123,25.3,\xC2\xB0"
                                                      "C,,,\"25.3\xC2\xB0"
                                                      "C\"");
        QTest::newRow("quote and separator")
            << QByteArray(R"(ID "A";1,5 %)") << 0 << true
            << QByteArray(R"(2026-12-09;"12:05:01,123";"1,5";%;;;"ID ""A"";1,5 %")");
        QTest::newRow("a unit with the separator in it")
            << QByteArray("5 a\"b") << 0 << false
            << QByteArray(R"(2026-12-09,12:05:01.123,5,"a""b",,,"5 a""b")");
        QTest::newRow("no number") << QByteArray("ERR") << 0 << false
                                   << QByteArray(R"(2026-12-09,12:05:01.123,,,,,"ERR")");
    }
    void rowsOfRecords() {
        QFETCH(QByteArray, record);
        QFETCH(int, lineFrom);
        QFETCH(bool, decimalComma);
        QFETCH(QByteArray, row);
        const LocalTime at{2026, 12, 9, 12, 5, 1, 123};
        QCOMPARE(csvRow({2, decimalComma}, at, record, lineFrom), row);
        QVERIFY(csvRow({2, decimalComma}, at, record, lineFrom).isValidUtf8());
    }

    // The same instrument recorded twice, the copy off and on: the data files are the same to
    // the byte. The copy has one row per record, each with its own line end's date and time,
    // and is switched with the data file, at midnight and, with hourly files, every hour.
    void theDataFileIsTheSameWithTheCopy() {
        const QList<std::pair<qint64, QByteArray>> lines{{0, "ST,+0012.345 g"},
                                                         {1'500, "US,-   0.020 g"},
                                                         {3'599'999, "OL"},
                                                         {3'600'000, "ST,+0001.000 g"},
                                                         {50'399'998, "ST,+0002.000 g"},
                                                         {50'400'000, "ST,+0003.000 g"}};
        RecordingFileCalls calls;
        const auto record = [&](bool csv, bool hourly, const QString& folder) {
            loadStartValues(QFile::encodeName(folder));
            varlin_def.CsvCopy = csv ? kTrue : kFalse;
            varlin_def.CsvNumbers = 2;
            varlin_def.CsvDecimalComma = kFalse;
            varlin_def.HourlyFiles = hourly ? kTrue : kFalse;
            Store s(calls, m_state->path());
            s.clock.current = QDateTime(QDate(2026, 12, 7), QTime(10, 0));
            const qint64 t0 = s.clock.nowMs();
            s.store.lineEnd("ST,+0000.000 g", false, t0, t0); // heads the run's file
            for (const auto& [offset, line] : lines)
                s.store.lineEnd(line, true, t0 + offset - 80, t0 + offset);
            QVERIFY(QTest::qWaitFor([&] { return s.store.settled(); }, 10'000));
            s.store.finish(true);
            QCOMPARE(s.sink.messages, QStringList());
        };
        for (const bool hourly : {false, true}) {
            QTemporaryDir without;
            QTemporaryDir with;
            record(false, hourly, without.path());
            record(true, hourly, with.path());
            const QStringList dataFiles =
                QDir(without.path()).entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name);
            QCOMPARE(
                QDir(with.path()).entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name),
                dataFiles);
            for (const QString& name : dataFiles)
                QCOMPARE(fileText(with.filePath(name)), fileText(without.filePath(name)));
            QStringList copies = dataFiles;
            copies.replaceInStrings(QStringLiteral(".txt"), QStringLiteral(".csv"));
            QCOMPARE(
                QDir(with.path()).entryList({QStringLiteral("*.csv")}, QDir::Files, QDir::Name),
                copies);
            QVERIFY(QDir(without.path()).entryList({QStringLiteral("*.csv")}).isEmpty());

            const QByteArray head = csvHeader(kTwoPoint);
            const QByteArray ten =
                head + row("2026-12-07", "10:00:00.000", R"(12.345,g,,,"ST,+0012.345 g")") +
                row("2026-12-07", "10:00:01.500", R"(-0.020,g,,,"US,-   0.020 g")") +
                row("2026-12-07", "10:59:59.999", R"(,,,,"OL")");
            const QByteArray eleven =
                row("2026-12-07", "11:00:00.000", R"(1.000,g,,,"ST,+0001.000 g")");
            const QByteArray late =
                row("2026-12-07", "23:59:59.998", R"(2.000,g,,,"ST,+0002.000 g")");
            const QByteArray nextDay =
                head + row("2026-12-08", "00:00:00.000", R"(3.000,g,,,"ST,+0003.000 g")");
            if (!hourly) {
                QCOMPARE(fileText(with.filePath("20261207.csv")), ten + eleven + late);
                QCOMPARE(fileText(with.filePath("20261208.csv")), nextDay);
            } else {
                QCOMPARE(fileText(with.filePath("20261207_10.csv")), ten);
                QCOMPARE(fileText(with.filePath("20261207_11.csv")), head + eleven);
                QCOMPARE(fileText(with.filePath("20261207_23.csv")), head + late);
                QCOMPARE(fileText(with.filePath("20261208_00.csv")), nextDay);
            }
        }
    }

    // A copy that cannot be written (here a folder stands where it goes): its records are
    // written at once all the same, the operator is told once, and once it can be written its
    // rows follow, once each and in order, the first time or at the next START after an END.
    void aCopyThatCannotBeWrittenHoldsNothingBack_data() {
        QTest::addColumn<bool>("endFirst");
        QTest::newRow("it comes back") << false;
        QTest::newRow("END meanwhile") << true;
    }
    void aCopyThatCannotBeWrittenHoldsNothingBack() {
        QFETCH(bool, endFirst);
        varlin_def.CsvCopy = kTrue;
        varlin_def.CsvNumbers = 1;
        varlin_def.CsvDecimalComma = kFalse;
        const QString blocker = m_data->filePath("20261207.csv");
        QVERIFY(QDir().mkdir(blocker));
        RecordingFileCalls calls;
        QList<QByteArray> records;
        for (int i = 0; i < 300; ++i)
            records << "ST,+" + QByteArray::number(i) + ".5 g";
        QByteArray rows = csvHeader({1, false});
        {
            Store s(calls, m_state->path());
            const qint64 t0 = s.clock.nowMs();
            s.store.lineEnd("ST,+0.0 g", false, t0, t0);
            for (qsizetype i = 0; i < records.size(); ++i) {
                const qint64 at = t0 + i * 10;
                s.store.lineEnd(records[i], true, at, at);
                rows += csvRow({1, false}, LocalTimeCache().at(at), records[i]) + "\r\n";
                if (i == 99)
                    QTest::qWait(300); // written in more than one batch
            }
            const QByteArray header =
                QByteArray(" Recive Data ,26/12/07,10:00:00,") + varlin_def.FileComment + "\r\n";
            QTRY_COMPARE(file(QStringLiteral("20261207.txt")), header + lines(records));
            QTRY_COMPARE(s.sink.messages.size(), 1);
            QVERIFY2(s.sink.messages[0].startsWith("Data file output error.  "),
                     qPrintable(s.sink.messages[0]));
            QTest::qWait(2500); // retried meanwhile, told no more
            QCOMPARE(s.sink.messages.size(), 1);
            QVERIFY(!s.store.settled());
            if (endFirst) {
                s.store.finish(true);
                QCOMPARE(s.sink.messages.size(), 2);
                QVERIFY2(s.sink.messages[1].contains("300 rows of the spreadsheet copy not yet "
                                                     "written are kept in "),
                         qPrintable(s.sink.messages[1]));
            }
            QVERIFY(QDir().rmdir(blocker));
            if (!endFirst) {
                QVERIFY(QTest::qWaitFor([&] { return s.store.settled(); }, 5000));
                QCOMPARE(file(QStringLiteral("20261207.csv")), rows);
                // The burst has ended: the data folder's next failure is a new one, and told.
                calls.failOpens = 1;
                s.store.lineEnd("ST,+1.0 g", true, t0 + 5000, t0 + 5000);
                QTRY_COMPARE(s.sink.messages.size(), 2);
                QCOMPARE(s.sink.messages[1], QStringLiteral("Data file output error.  2"));
                QVERIFY(QTest::qWaitFor([&] { return s.store.settled(); }, 5000));
                s.store.finish(true);
            }
        }
        if (endFirst) {
            Store next(calls, m_state->path());
            next.store.startPressed();
            QTRY_COMPARE_WITH_TIMEOUT(file(QStringLiteral("20261207.csv")), rows, 10'000);
            next.store.finish(true);
            QCOMPARE(next.sink.messages, QStringList());
        }
        QVERIFY(spooledRecords(m_state->path()).isEmpty());
    }

    // An earlier run's records and rows wait in its spool (END while the folder hung), and at
    // the next START its copy cannot be written: its records go into the data file all the
    // same, and the present's after them, before the copy takes a row; once it can, the old
    // rows come first, then the present's, once each.
    void anEarlierRunsCopyThatCannotBeWrittenHoldsNoRecordBack() {
        varlin_def.CsvCopy = kTrue;
        varlin_def.CsvNumbers = 1;
        varlin_def.CsvDecimalComma = kFalse;
        const CsvLayout layout{1, false};
        RecordingFileCalls calls;
        QByteArray records;
        QByteArray rows = csvHeader(layout);
        const auto take = [&](Store& s, const QByteArray& record) {
            const qint64 at = s.clock.nowMs();
            s.store.lineEnd(record, true, at, at);
            records += record + "\r\n";
            rows += csvRow(layout, LocalTimeCache().at(at), record) + "\r\n";
            s.clock.advanceMs(100);
        };
        {
            Store s(calls, m_state->path());
            calls.hold();
            for (int i = 0; i < 5; ++i)
                take(s, "ST,+000" + QByteArray::number(i) + ".100 g");
            QTRY_VERIFY_WITH_TIMEOUT(calls.held() > 0, 5000);
            s.store.finish(true);
            QCOMPARE(s.sink.messages.size(), 1);
            QVERIFY2(s.sink.messages[0].startsWith("The data folder did not answer: 5 records not "
                                                   "yet written are kept in "),
                     qPrintable(s.sink.messages[0]));
        }
        calls.release();
        const QString blocker = m_data->filePath("20261207.csv");
        QVERIFY(QDir().mkdir(blocker));
        const QByteArray header =
            QByteArray(" Recive Data ,26/12/07,10:00:00,") + varlin_def.FileComment + "\r\n";
        Store next(calls, m_state->path());
        next.clock.advanceMs(60'000);
        next.store.startPressed();
        for (int i = 0; i < 3; ++i)
            take(next, "ST,+001" + QByteArray::number(i) + ".200 g");
        QTRY_COMPARE_WITH_TIMEOUT(file(QStringLiteral("20261207.txt")), header + records, 10'000);
        QVERIFY(!QFileInfo(blocker).isFile());
        QVERIFY(QDir().rmdir(blocker));
        QTRY_COMPARE_WITH_TIMEOUT(file(QStringLiteral("20261207.csv")), rows, 20'000);
        QVERIFY(QTest::qWaitFor([&] { return next.store.settled(); }, 5000));
        next.store.finish(true);
        QCOMPARE(file(QStringLiteral("20261207.txt")), header + records);
        QVERIFY(spooledRecords(m_state->path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstSpreadsheetCopy)
#include "tst_spreadsheet_copy.moc"
