// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/pty_instrument.h"
#include "support/window_kit.h"
#include "ui/folder_list.h"
#include "ui/frm_savepath.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

// The whole logger as an operator meets it: real windows, the real loop and serial layer on a
// pty instrument, real data files; only the clock is the test's, so names and stamps are known.
class TstEndToEnd : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    FakeClock m_clock;
    PtyInstrument m_instrument;
    SerialPort m_port{m_clock, portAt(1, m_instrument.slavePath())};

    // Sends one CR LF line and waits until the window shows its record.
    bool sendLine(const LoggerWindow& main, const QByteArray& line, const QByteArray& record) {
        return m_instrument.write(line + "\r\n") &&
               QTest::qWaitFor([&] { return main.shown() == QString::fromLatin1(record); },
                               10000) &&
               recordsWritten(main.logger);
    }
    QByteArray stamped(const QByteArray& line) const {
        return m_clock.current.toString(u"yyyy/MM/dd,hh:mm:ss.zzz").toLatin1() + "," + line;
    }

private Q_SLOTS:
    void operatorSession();
    void theSimulatedBalanceAnswersSend();
    void anLfOnlyBalanceGetsAHint();
    void aPrintOnDemandBalanceIsAskedWithNothingTyped();
};

namespace {

// The simulated balance on a pty of its own, as the demo runs it.
struct SimulatedBalance {
    explicit SimulatedBalance(const QStringList& args) {
        sim.start(QStringLiteral(TESSALINE_SIMULATOR_PATH), args);
        if (sim.waitForStarted() && sim.waitForReadyRead(5000))
            device = QString::fromLocal8Bit(sim.readLine().trimmed());
    }
    ~SimulatedBalance() {
        sim.kill();
        sim.waitForFinished();
    }
    SimulatedBalance(const SimulatedBalance&) = delete;
    SimulatedBalance& operator=(const SimulatedBalance&) = delete;
    QProcess sim;
    QString device;
};

} // namespace

void TstEndToEnd::operatorSession() {
    QVERIFY(m_instrument.isOpen());
    const QString data = m_dir.path();
    LoggerWindow main(m_port, m_clock, data);
    QVERIFY(QDir(data).mkdir(QStringLiteral("run2")));

    // Setting stays open beside the running logger (its button is disabled while running).
    main.click("Command2");
    auto* settings = main.settings();
    QVERIFY(settings);
    main.click("Command1");
    QTRY_VERIFY(m_port.isOpen());
    // A partial line and three line ends: all of it is thrown away to get in step.
    QVERIFY(m_instrument.write("0.001 g\r\nST,+0000.000 g\r\nST,+0000.000 g\r\n"));
    QTRY_COMPARE(main.panel(3), QStringLiteral("RcvData..."));
    QVERIFY(sendLine(main, "ST,+0012.345 g", "ST,+0012.345 g")); // shown, never written
    QByteArray daily = header();
    for (const QByteArray line : {"ST,+0012.346 g", "US,+0013.000 g", "ST,-0000.002 g"}) {
        QVERIFY(sendLine(main, line, line));
        daily += line + "\r\n";
    }
    // Tabs and other codes below 16 never reach a record.
    QVERIFY(sendLine(main, "ST,\t+0001.500\x01 g", "ST,+0001.500 g"));
    daily += "ST,+0001.500 g\r\n";
    QCOMPARE(fileText(data + "/20261207.txt"), daily);

    // Stamps to the millisecond, hourly files, the new folder opened with keys, a comment.
    QTest::mouseClick(control(settings, "Check1"), Qt::LeftButton);
    QTest::mouseClick(control(settings, "Check3"), Qt::LeftButton);
    QTest::mouseClick(control(settings, "Option1_1"), Qt::LeftButton);
    auto* dir1 = control<FolderList>(settings, "Dir1");
    dir1->setFocus();
    QTest::keyClick(dir1, Qt::Key_Down); // the first sub-folder below the current one
    QTest::keyClick(dir1, Qt::Key_Return);
    QCOMPARE(dir1->currentFolder(), data + "/run2");
    auto* comment = control<QLineEdit>(settings, "Text1");
    QTest::keyClick(comment, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(comment, "bench 4, scale B");
    QPointer<Frm_Savepath> closing(settings);
    click(settings, "Command1");
    QTRY_VERIFY(!closing);

    QByteArray hourly = " Recive Data ,26/12/07,10:01:01,bench 4, scale B\r\n";
    for (const auto& [line, stepMs] :
         {std::pair{QByteArray("ST,+0012.400 g"), 61'234}, {QByteArray("ST,+0012.401 g"), 1'007}}) {
        m_clock.advanceMs(stepMs);
        QVERIFY(sendLine(main, line, stamped(line)));
        hourly += stamped(line) + "\r\n";
    }
    // An empty line carries the stamp of the LF before its CR; the clock stays put meanwhile,
    // as that LF may be read before or after the previous record is shown.
    QVERIFY(sendLine(main, "", stamped("")));
    hourly += stamped("") + "\r\n";
    QCOMPARE(fileText(data + "/run2/20261207_10.txt"), hourly);
    QCOMPARE(fileText(data + "/20261207.txt"), daily); // the daily file got nothing more

    auto* sendBox = main.control<QLineEdit>("txt_send");
    QTest::mouseClick(sendBox, Qt::LeftButton);
    QTest::keyClick(sendBox, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(sendBox, "ABC");
    main.click("Command5");
    QCOMPARE(m_instrument.read(3), QByteArray("ABC"));

    main.click("Command4");
    QCOMPARE(main.panel(3), QStringLiteral("Stop..."));
    QVERIFY(!m_port.isOpen());
    main.click("Command1"); // at once: the loop has not yet seen the STOP
    QTRY_VERIFY(m_port.isOpen());
    QCOMPARE(main.panel(3), QStringLiteral("Initialize..."));
    QVERIFY(m_instrument.write("ST,+0099.000 g\r\n\r\nST,+0099.000 g\r\n"));
    QTRY_COMPARE(main.panel(3), QStringLiteral("RcvData..."));
    // Only the program's very first record is left out: this one is written.
    m_clock.advanceMs(2'500);
    QVERIFY(sendLine(main, "ST,+0012.500 g", stamped("ST,+0012.500 g")));
    hourly += stamped("ST,+0012.500 g") + "\r\n";
    QCOMPARE(fileText(data + "/run2/20261207_10.txt"), hourly);

    main.click("Command4");
    QTRY_VERIFY(!m_port.isOpen());
    QCOMPARE(main.ends, 0);
    main.click("Command3");
    QCOMPARE(main.ends, 1);
    QVERIFY(!main.window.isVisible());
    QVERIFY2(main.sink.messages.isEmpty(), qPrintable(main.sink.messages.join('|')));
    QCOMPARE(QDir(data).entryList(QDir::Files), QStringList{"20261207.txt"});
    QCOMPARE(QDir(data + "/run2").entryList(QDir::Files), QStringList{"20261207_10.txt"});
}

// The round trip the README shows: CR LF picked, P typed, Send pressed, and the balance's
// reading comes back as a record.
void TstEndToEnd::theSimulatedBalanceAnswersSend() {
    if (!canStartPrograms())
        QSKIP("this process cannot start the simulator");
    // Readings only when asked: one sent by itself at its start could come after START's discard
    // of what was waiting (the balance's process held up a moment), and put the counting below
    // one line out.
    SimulatedBalance balance({"--on-demand"});
    QVERIFY(!balance.device.isEmpty());
    SerialPort port(m_clock, portAt(1, balance.device));
    const QString data = m_dir.filePath(QStringLiteral("balance"));
    QVERIFY(QDir().mkpath(data));
    LoggerWindow main(port, m_clock, data);
    main.click("Command1");
    QTRY_VERIFY(port.isOpen());
    main.control<QComboBox>("cmb_send_end")->setCurrentText(QStringLiteral("CR LF"));
    main.control<QLineEdit>("txt_send")->setText(QStringLiteral("P"));
    // Send, then the reading the balance answered with, as it reports it.
    QByteArray said;
    const auto ask = [&] {
        main.click("Command5");
        const qsizetype answered = said.count("answered: ");
        if (!QTest::qWaitFor([&] {
                said += balance.sim.readAllStandardOutput();
                return said.count("answered: ") > answered;
            }))
            return QString();
        const qsizetype at = said.lastIndexOf("answered: ") + 10;
        return QString::fromLatin1(said.mid(at, said.indexOf("\\r\\n", at) - at));
    };
    // Three readings get the logger in step; the next is the run's first record (shown only),
    // and the one after it is written.
    for (int reading = 0; reading < 3; ++reading)
        QVERIFY(!ask().isEmpty());
    QTRY_COMPARE(main.panel(3), QStringLiteral("RcvData..."));
    const QString first = ask();
    QTRY_COMPARE(main.shown(), first);
    const QString second = ask();
    QTRY_COMPARE(main.shown(), second);
    // The header (of whatever time the earlier test left the clock at), then the one record;
    // two readings may be alike, so the file is waited for.
    QTRY_COMPARE(fileText(data + "/20261207.txt").split('\n').mid(1),
                 QList<QByteArray>({second.toLatin1() + "\r", ""}));
    QVERIFY(said.contains("received: P\\r\\n"));
    main.click("Command4");
}

void TstEndToEnd::anLfOnlyBalanceGetsAHint() {
    if (!canStartPrograms())
        QSKIP("this process cannot start the simulator");
    SimulatedBalance balance({"--lf-only", "--interval-ms", "200"});
    QVERIFY(!balance.device.isEmpty());
    SerialPort port(m_clock, portAt(1, balance.device));
    LoggerWindow main(port, m_clock, m_dir.path());
    main.click("Command1");
    QTRY_VERIFY(port.isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(
        main.title(),
        QStringLiteral("Com1 : No CR received; the instrument may end its lines with LF only"),
        6000);
    QCOMPARE(main.panel(3), QStringLiteral("Initialize..."));
    main.click("Command4");
}

// A balance that prints only when asked: set up once in Setting, START gets in step and records
// a reading every interval, and STOP ends the asking.
void TstEndToEnd::aPrintOnDemandBalanceIsAskedWithNothingTyped() {
    if (!canStartPrograms())
        QSKIP("this process cannot start the simulator");
    SimulatedBalance balance({"--on-demand"});
    QVERIFY(!balance.device.isEmpty());
    SerialPort port(m_clock, portAt(1, balance.device));
    const QString data = m_dir.filePath(QStringLiteral("on-demand"));
    QVERIFY(QDir().mkpath(data));
    LoggerWindow main(port, m_clock, data);
    main.click("Command2");
    auto* settings = main.settings();
    QVERIFY(settings);
    click(settings, "chk_ask");
    QTest::keyClicks(control(settings, "txt_ask_command"), "P");
    auto* interval = control<QLineEdit>(settings, "txt_ask_interval");
    interval->selectAll();
    QTest::keyClicks(interval, "0.2");
    QPointer<Frm_Savepath> closing(settings);
    click(settings, "Command1");
    QTRY_VERIFY(!closing);

    QElapsedTimer running;
    running.start();
    main.click("Command1");
    QTRY_COMPARE(main.panel(3), QStringLiteral("RcvData..."));
    const auto records = [&] { return fileText(data + "/20261207.txt").count('\n') - 1; };
    QTRY_VERIFY_WITH_TIMEOUT(records() >= 5, 10000);
    const auto panels = main.control<QWidget>("SB1")->findChildren<QLabel*>();
    const auto port2 = std::find_if(panels.begin(), panels.end(), [&](const QLabel* label) {
        return label->text() == main.panel(2);
    });
    QVERIFY(port2 != panels.end());
    QVERIFY2((*port2)->toolTip().endsWith(QStringLiteral("asks P CR LF every 0.2 s")),
             qPrintable((*port2)->toolTip()));
    main.click("Command4");
    QTRY_VERIFY(!port.isOpen());
    QVERIFY((*port2)->toolTip().isEmpty());
    // One ask an interval, never more, however the asks fell.
    QTest::qWait(200);
    const qsizetype asks = balance.sim.readAllStandardOutput().count("P\\r\\n"); // as it heard them
    QVERIFY2(asks >= 5 && asks <= running.elapsed() / 200 + 1,
             qPrintable(QStringLiteral("%1 asks in %2 ms").arg(asks).arg(running.elapsed())));
}

QTEST_MAIN(TstEndToEnd)
#include "tst_end_to_end.moc"
