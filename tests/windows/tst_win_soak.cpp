// SPDX-License-Identifier: GPL-3.0-or-later
// A long recording on Windows, under Wine: the real window, loop, reader thread and serial
// device on COM1, a balance on the cable's other end sending a line every tenth of a second.
// Nothing is unplugged, so no removal may be reported and every line must land in the data file
// once, in order. TESSALINE_SOAK_SECONDS sets how long it records (120 s unless told).

#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/platform_files.h"
#include "cable.h"
#include "window_on_com1.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

QByteArray reading(int n) {
    return "ST,+" + QByteArray::number(n).rightJustified(7, '0') + " g";
}

int soakSeconds() {
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("TESSALINE_SOAK_SECONDS", &ok);
    return ok && seconds > 0 ? seconds : 120;
}

// QtTest ends a test function after five minutes unless told otherwise: the recording's length
// and two minutes for the rest, set before QtTest reads it.
[[maybe_unused]] const bool g_timeoutSet = [] {
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number((soakSeconds() + 120) * 1000));
    return true;
}();

} // namespace

class TstWinSoak : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void recordsForMinutesWithoutRemovalOrLoss();
};

void TstWinSoak::initTestCase() {
    if (cableControl().isEmpty())
        QSKIP("no null-modem cable on COM1 and COM2: run through tests/windows/wine-test.sh");
}

void TstWinSoak::recordsForMinutesWithoutRemovalOrLoss() {
    QTemporaryDir data;
    QTemporaryDir spool;
    loadStartValues(encodePath(data.path()));
    WindowOnCom1 on(spool.path());
    Frm_Varlin& window = on.window;
    const ThreadedPort& port = on.port;
    window.show();
    auto* title = control<QLabel>(window, "lbl_title");
    const auto shown = [&on] { return on.shown(); };
    // Every title the line shows, however briefly: a removal and its reconnection both show.
    QStringList titles;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&titles, title] {
        const QString text = title->text();
        if (text.startsWith(QStringLiteral("Com")) && (titles.isEmpty() || titles.last() != text))
            titles << text;
    });
    watch.start(10);
    Instrument instrument;
    QVERIFY(instrument.isOpen());

    QTest::mouseClick(control<QPushButton>(window, "Command1"), Qt::LeftButton);
    QTRY_VERIFY(port.isOpen());
    // Out of step at first, the logger throws away all up to the fourth line end; then lines of
    // their own until one is shown.
    QVERIFY(instrument.write("sync\r\nsync\r\nsync\r\nsync\r\nsync\r\n"));
    QTest::qWait(500);
    QByteArray inStep;
    for (int n = 1; n < 100 && shown() != QString::fromLatin1(inStep); ++n) {
        inStep = "ST,-" + QByteArray::number(n).rightJustified(7, '0') + " g";
        QVERIFY(instrument.write(inStep + "\r\n"));
        QTest::qWait(200);
    }
    QCOMPARE(shown(), QString::fromLatin1(inStep));

    QByteArray sent;
    int lines = 0;
    QElapsedTimer clockOnWall;
    clockOnWall.start();
    const qint64 until = qint64(soakSeconds()) * 1000;
    while (clockOnWall.elapsed() < until && titles.isEmpty()) {
        const QByteArray line = reading(++lines) + "\r\n";
        QVERIFY(instrument.write(line));
        sent += line;
        QTest::qWait(100);
    }
    QTRY_COMPARE_WITH_TIMEOUT(shown(), QString::fromLatin1(reading(lines)), 10'000);
    QTRY_VERIFY(on.logger.store().written());
    qInfo("%d lines sent in %lld s", lines, clockOnWall.elapsed() / 1000);
    QVERIFY2(titles.isEmpty(), qPrintable(titles.join(u'|')));

    // After the header, and the lines that put the logger in step, every line sent, once.
    const auto recorded = [&data] {
        QFile written(data.filePath(QStringLiteral("20261207.txt")));
        const QByteArray records = written.open(QIODevice::ReadOnly) ? written.readAll() : "";
        const qsizetype body = records.indexOf("ST,+");
        return body < 0 ? QByteArray() : records.mid(body);
    };
    // A line short at the end is named below with any other.
    [[maybe_unused]] const bool all =
        QTest::qWaitFor([&] { return recorded().count('\n') >= lines; }, 20'000);
    const QByteArray records = recorded();
    QStringList missing;
    for (int n = 1; n <= lines; ++n)
        if (!records.contains(reading(n) + "\r\n"))
            missing << QString::number(n);
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(u' ')));
    QCOMPARE(records, sent);

    QTest::mouseClick(control<QPushButton>(window, "Command4"), Qt::LeftButton);
    QTRY_VERIFY(!port.isOpen());
    QTest::mouseClick(control<QPushButton>(window, "Command3"), Qt::LeftButton);
    QCOMPARE(on.ends, 1);
    QVERIFY2(on.sink.messages.isEmpty(), qPrintable(on.sink.messages.join(u'|')));
}

QTEST_MAIN(TstWinSoak)
#include "tst_win_soak.moc"
