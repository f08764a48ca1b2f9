// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/core/reading_number.h"
#include "support/window_kit.h"
#include "ui/frm_trend.h"
#include "ui/trend_series.h"

#include <QComboBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>
#include <qcustomplot.h>

#include <memory>

// The trend: the numbers read off instruments' records, the bounded history behind the curve,
// and the window drawing beside a running acquisition.
class TstTrend : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void numbersAsInstrumentsPrintThem_data();
    void numbersAsInstrumentsPrintThem();
    void aLongHistoryStaysBoundedAndKeepsItsSpikes();
    void theWindowDrawsBesideTheRunAndLeavesTheRecordsAlone();
};

void TstTrend::numbersAsInstrumentsPrintThem_data() {
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<int>("which");
    QTest::addColumn<bool>("found");
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("unit");
    QTest::newRow("balance, stable")
        << QByteArray("ST,+0012.345 g") << 1 << true << 12.345 << QByteArray("g");
    QTest::newRow("balance, sign padded")
        << QByteArray("US,-   0.02 g") << 1 << true << -0.02 << QByteArray("g");
    QTest::newRow("balance, blanks around")
        << QByteArray("     12.5   g  ") << 1 << true << 12.5 << QByteArray("g");
    QTest::newRow("pH, the pH") << QByteArray("pH 7.01 25.0C") << 1 << true << 7.01 << QByteArray();
    QTest::newRow("pH, the temperature")
        << QByteArray("pH 7.01 25.0C") << 2 << true << 25.0 << QByteArray("C");
    QTest::newRow("pH, no third") << QByteArray("pH 7.01 25.0C") << 3 << false << 0.0
                                  << QByteArray();
    QTest::newRow("thermometer") << QByteArray("T=23.45") << 1 << true << 23.45 << QByteArray();
    QTest::newRow("thermometer, degree sign") << QStringLiteral("  23.5 °C").toUtf8() << 1 << true
                                              << 23.5 << QStringLiteral("°C").toUtf8();
    QTest::newRow("multimeter") << QByteArray("+1.2345E-03 VDC") << 1 << true << 0.0012345
                                << QByteArray("VDC");
    QTest::newRow("exponent, negative")
        << QByteArray("-1.2E-03") << 1 << true << -0.0012 << QByteArray();
    QTest::newRow("conductivity") << QByteArray("1.413 mS/cm,25.0") << 1 << true << 1.413
                                  << QByteArray("mS/cm");
    QTest::newRow("comma decimal") << QByteArray("12,5") << 1 << true << 12.5 << QByteArray();
    QTest::newRow("index, then a value")
        << QByteArray("001,12.34 g") << 2 << true << 12.34 << QByteArray("g");
    QTest::newRow("range, hyphen between")
        << QByteArray("10-20 mV") << 2 << true << 20.0 << QByteArray("mV");
    QTest::newRow("whole numbers, comma separated")
        << QByteArray("12,5,7") << 2 << true << 5.0 << QByteArray();
    QTest::newRow("OK") << QByteArray("OK") << 1 << false << 0.0 << QByteArray();
    QTest::newRow("ERR") << QByteArray("ERR") << 1 << false << 0.0 << QByteArray();
    QTest::newRow("sign alone") << QByteArray("- E") << 1 << false << 0.0 << QByteArray();
    QTest::newRow("beyond a double") << QByteArray("1e999 g") << 1 << false << 0.0 << QByteArray();
}

void TstTrend::numbersAsInstrumentsPrintThem() {
    QFETCH(QByteArray, record);
    QFETCH(int, which);
    QFETCH(bool, found);
    const std::optional<Reading> reading = nthNumber(record, which);
    QCOMPARE(reading.has_value(), found);
    if (!found)
        return;
    QFETCH(double, value);
    QFETCH(QByteArray, unit);
    QCOMPARE(reading->value, value);
    QCOMPARE(reading->unit, unit);
}

void TstTrend::aLongHistoryStaysBoundedAndKeepsItsSpikes() {
    // Ten times what it may keep, one reading a second, with one spike each way.
    constexpr qint64 t0 = 1'700'000'000'000;
    constexpr int kReadings = 10'000;
    TrendSeries series(1000);
    double sum = 0;
    for (int i = 0; i < kReadings; ++i) {
        const double value = i == 1234 ? 99.0 : i == 4321 ? -50.0 : 10.0 + (i % 7) * 0.1;
        // The clock set back once: that reading is kept at the last one's time.
        const qint64 at = i == 5000 ? t0 : t0 + i * qint64{1000};
        series.add(at, value);
        sum += value;
    }
    QVERIFY2(series.points() <= 1000, qPrintable(QString::number(series.points())));
    QCOMPARE(series.readings(), kReadings);

    const qint64 end = t0 + (kReadings - 1) * qint64{1000};
    const SpanFigures all = series.figures(t0, end);
    QCOMPARE(all.readings, kReadings);
    QCOMPARE(all.min, -50.0);
    QCOMPARE(all.max, 99.0);
    QVERIFY(qFuzzyCompare(all.mean, sum / kReadings));
    QCOMPARE(all.latest, 10.0 + ((kReadings - 1) % 7) * 0.1);
    // The newest stretch is still every reading.
    const SpanFigures recent = series.figures(end - 99'000, end);
    QCOMPARE(recent.readings, 100);

    const QList<TrendPoint> drawn = series.drawn(t0, end, 200);
    QVERIFY(drawn.size() <= 2 * 200 + 1);
    QVERIFY(std::is_sorted(drawn.begin(), drawn.end(),
                           [](const auto& a, const auto& b) { return a.atMs < b.atMs; }));
    const auto has = [&drawn](double v) {
        return std::any_of(drawn.begin(), drawn.end(), [v](const auto& p) { return p.value == v; });
    };
    QVERIFY(has(99.0) && has(-50.0));
    QCOMPARE(drawn.back().atMs, end);

    // A span that starts inside a stretch whose extremes lie before it still shows what it
    // holds of that stretch.
    TrendSeries cut;
    for (int i = 0; i < 256; ++i)
        cut.add(t0 + i, i == 0 ? 9.0 : i == 1 ? 0.0 : i == 200 ? 7.0 : 5.0);
    const QList<TrendPoint> part = cut.drawn(t0 + 150, t0 + 10'000, 10);
    QVERIFY(std::any_of(part.begin(), part.end(), [](const auto& p) { return p.value == 7.0; }));
}

void TstTrend::theWindowDrawsBesideTheRunAndLeavesTheRecordsAlone() {
    QTemporaryDir dataDir;
    FakeClock clock;
    FakeCommPort port;
    LoggerWindow main(port, clock, dataDir.path());
    main.click("Command1");
    QTRY_VERIFY(port.opened);
    port.feed("a\rb\rc\rfirst, shown only\r");
    QTRY_COMPARE(main.panel(3), QStringLiteral("RcvData..."));
    QList<QByteArray> records{"ST,+0012.345 g", "ST,+0012.500 g"};
    port.feed(lines(records));
    QTRY_COMPARE(main.shown(), QStringLiteral("ST,+0012.500 g"));

    // Opened from the keyboard; what came before it is drawn at once.
    QVERIFY(QTest::qWaitForWindowActive(&main.window));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_T, Qt::AltModifier);
    QWidget* trend = nullptr;
    QTRY_VERIFY((trend = main.window.findChild<QWidget*>(QStringLiteral("Frm_Trend"))) &&
                trend->isVisible());
    const QPointer<QWidget> trendAlive(trend);
    auto* plot = control<QCustomPlot>(trend, "plot_trend");
    const auto* figures = control<QLabel>(trend, "lbl_trend_figures");
    QCOMPARE(plot->graph(0)->dataCount(), 2);
    QCOMPARE(figures->text(),
             QStringLiteral("Latest 12.5 g   Min 12.345   Max 12.5   Mean 12.4225"));
    QCOMPARE(plot->yAxis->label(), QStringLiteral("g"));

    // A flood of records: at most ten drawings a second; none while minimised.
    int replots = 0;
    connect(plot, &QCustomPlot::afterReplot, this, [&replots] { ++replots; });
    QElapsedTimer flooding;
    flooding.start();
    for (int i = 0; i < 100; ++i) {
        records.append("ST,+0013." + QByteArray::number(100 + i) + " g");
        clock.advanceMs(1000);
        port.feed(lines({records.back()}));
        QTest::qWait(10);
    }
    // A coarse timer may fire up to 5 % early, and the plot redraws itself once more when a
    // slow machine settles its window's size late: a redraw a record would still be far above.
    const qint64 floodMs = flooding.elapsed();
    QVERIFY2(replots >= 1 && replots <= floodMs * 105 / 100 / Frm_Trend::kRedrawMs + 2,
             qPrintable(QStringLiteral("%1 in %2 ms").arg(replots).arg(floodMs)));
    trend->showMinimized();
    replots = 0;
    records.append("OK");
    port.feed(lines({records.back()}));
    QTest::qWait(3 * Frm_Trend::kRedrawMs);
    QCOMPARE(replots, 0);
    trend->showNormal();
    QTRY_VERIFY(figures->text().endsWith(QStringLiteral("(records without a 1st number: 1)")));
    QVERIFY(
        figures->text().startsWith(QStringLiteral("Latest 13.199 g   Min 12.345   Max 13.199")));
    QVERIFY(plot->graph(0)->dataCount() > 50); // a second apart: not one column
    // The clock set back an hour: the newest reading is still drawn and counted.
    clock.advanceMs(-3'600'000);
    records.append("ST,+0015.000 g");
    port.feed(lines({records.back()}));
    QTRY_VERIFY(figures->text().startsWith(QStringLiteral("Latest 15 g   Min 12.345   Max 15")));

    // Closing it leaves the run as it was: every record in the file, byte for byte.
    trend->close();
    QTRY_VERIFY(!trendAlive);
    records.append("ST,+0014.000 g");
    port.feed(lines({records.back()}));
    QTRY_COMPARE(main.shown(), QStringLiteral("ST,+0014.000 g"));
    main.click("Command4");
    QVERIFY(recordsWritten(main.logger));
    QCOMPARE(fileText(dataDir.path() + "/20261207.txt"), header() + lines(records));
}

QTEST_MAIN(TstTrend)
#include "tst_trend.moc"
