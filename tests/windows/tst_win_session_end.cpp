// SPDX-License-Identifier: GPL-3.0-or-later
// A logout or shutdown while the logger records on COM1, under Wine: Windows is told "Writing
// the last records" for the window while END's steps run, and the reason is taken back once the
// last record is in its file and the port let go. Wine keeps no reason that could be read back
// (it lacks ShutdownBlockReasonQuery), so the window is given a reason of the test's that notes
// what stood when it was set and cleared. The records go into their folder as ever when it lies
// deeper than Windows' 260 characters.

#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/platform_files.h"
#include "acquisition/platform/shutdown_reason.h"
#include "cable.h"
#include "window_on_com1.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

// What stood when the reason was set and when it was taken back.
class WatchedReason final : public ShutdownReason {
public:
    WatchedReason(const ThreadedPort& port, const QString& file) : m_port(port), m_file(file) {}
    bool set(quintptr window, const QString& reason) override {
        setFor = window;
        text = reason;
        openWhenSet = m_port.isOpen();
        return true;
    }
    void clear(quintptr window) override {
        clearedFor = window;
        openWhenCleared = m_port.isOpen();
        fileWhenCleared = contents();
    }
    quintptr setFor = 0;
    quintptr clearedFor = 0;
    QString text;
    bool openWhenSet = false;
    bool openWhenCleared = true;
    QByteArray fileWhenCleared;

private:
    QByteArray contents() const {
        QFile file(m_file);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    const ThreadedPort& m_port;
    QString m_file;
};

} // namespace

class TstWinSessionEnd : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void endingWay_data();
    void endingWay();
};

void TstWinSessionEnd::initTestCase() {
    if (cableControl().isEmpty())
        QSKIP("no null-modem cable on COM1 and COM2: run through tests/windows/wine-test.sh");
}

void TstWinSessionEnd::endingWay_data() {
    QTest::addColumn<bool>("bySession");
    QTest::addColumn<QString>("below"); // the data folder below a temporary one
    QTest::newRow("a logout or shutdown: the reason is shown while END's steps run")
        << true << QString();
    // Six levels of 50 characters: past Windows' 260 from any temporary folder.
    QStringList levels;
    for (int level = 1; level <= 6; ++level)
        levels << QStringLiteral("level %1 ").arg(level).leftJustified(50, u'x');
    QTest::newRow("the close box, records in a folder deeper than 260 characters")
        << false << levels.join(u'/');
}

void TstWinSessionEnd::endingWay() {
    QFETCH(bool, bySession);
    QFETCH(QString, below);
    QTemporaryDir top;
    QTemporaryDir spool;
    const QDir data(below.isEmpty() ? top.path() : top.filePath(below));
    QVERIFY(QDir().mkpath(data.path()));
    QVERIFY(data.path().size() > 260 || below.isEmpty());
    loadStartValues(encodePath(data.path()));
    WindowOnCom1 on(spool.path());
    Frm_Varlin& window = on.window;
    const ThreadedPort& port = on.port;
    WatchedReason reason(port, data.filePath(QStringLiteral("20261207.txt")));
    window.setShutdownReason(reason);
    window.show();
    Instrument instrument;
    QVERIFY(instrument.isOpen());
    QTest::mouseClick(control<QPushButton>(window, "Command1"), Qt::LeftButton);
    QTRY_VERIFY(port.isOpen());
    const auto shown = [&on] { return on.shown(); };
    // In step first (the first whole line is shown, not written), then records that arrive just
    // before the session ends: the last of them still waits to be written when it does.
    for (int n = 0; n < 50 && shown() != QStringLiteral("sync"); ++n) {
        QVERIFY(instrument.write("sync\r\n"));
        QTest::qWait(200);
    }
    QVERIFY(instrument.write("r1\r\nr2\r\nr3\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(shown(), QStringLiteral("r3"), 10'000);

    if (bySession)
        window.endSession();
    else
        window.close();
    QCOMPARE(on.ends, 1);
    QVERIFY(!port.isOpen());
    QFile written(data.filePath(QStringLiteral("20261207.txt")));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(written.readAll().endsWith("r1\r\nr2\r\nr3\r\n"));
    if (!bySession) {
        QCOMPARE(reason.setFor, quintptr(0));
        QCOMPARE(reason.clearedFor, quintptr(0));
        return;
    }
    QCOMPARE(reason.text, QStringLiteral("Writing the last records"));
    QVERIFY(reason.setFor != 0);
    QCOMPARE(reason.clearedFor, reason.setFor);
    // Set before the steps: the port still open; cleared after them: the port let go and every
    // record in its file.
    QVERIFY(reason.openWhenSet);
    QVERIFY(!reason.openWhenCleared);
    QVERIFY(reason.fileWhenCleared.endsWith("r1\r\nr2\r\nr3\r\n"));
}

QTEST_MAIN(TstWinSessionEnd)
#include "tst_win_session_end.moc"
