// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/pty_instrument.h"
#include "support/window_kit.h"
#include "ui/clock_panel.h"
#include "ui/frm_savepath.h"
#include "ui/status_bar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>
#include <memory>

// The main window as the operator meets it: real widgets, real clicks, a fake or pty port.
class TstFrmVarlin : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup() { m_main.reset(); }
    void freshStartShowsStartValues();
    void stopBeforeStartChangesNothing();
    void startThenStopWhileReceiving();
    void stopWhileGettingInStepEndsProgram();
    void burstShowsItsLastRecord();
    void recordAndSendThroughPtyInstrument();
    void sendAddsTheChosenLineEnd_data();
    void sendAddsTheChosenLineEnd();
    void theOperatorSeesWhichDeviceEachPortIs();
    void recordShownAsTheInstrumentMeantIt_data();
    void recordShownAsTheInstrumentMeantIt();
    void startFolderIsOneTheAccountCanWrite();
    void lineErrorShowsInTitle();
    void resizeMovesOnlyStatusBar();
    void portPanelShowsNumberInFull_data();
    void portPanelShowsNumberInFull();
    void folderPanelTellsOfTheSpreadsheetCopy();
    void closeBoxWhileRunningClosesPortAndEndsLoop();
    void shortTimeDropsSeconds_data();
    void shortTimeDropsSeconds();
    void clockWakesJustPastTheMinute_data();
    void clockWakesJustPastTheMinute();
    void recordBoxLooksAsItsStyleDrawsIt_data();
    void recordBoxLooksAsItsStyleDrawsIt();

private:
    void open(CommPort& port) {
        m_main.reset();
        m_main = std::make_unique<LoggerWindow>(port, m_clock, m_dataDir->path());
    }

    FakeClock m_clock;
    std::unique_ptr<QTemporaryDir> m_dataDir;
    std::unique_ptr<FakeCommPort> m_fake;
    std::unique_ptr<LoggerWindow> m_main; // on m_fake unless the test opens it on another port
};

void TstFrmVarlin::init() {
    m_dataDir = std::make_unique<QTemporaryDir>();
    m_fake = std::make_unique<FakeCommPort>();
    open(*m_fake);
}

void TstFrmVarlin::freshStartShowsStartValues() {
    const Frm_Varlin& window = m_main->window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Tessaline Serial Data"));
    QCOMPARE(window.size(), QSize(525, 178));
    QVERIFY(!window.windowIcon().pixmap(32, 32).isNull());
    QCOMPARE(m_main->panel(1), m_dataDir->path());
    QCOMPARE(m_main->panel(2), QStringLiteral("COM1/9600"));
    QCOMPARE(m_main->panel(3), QStringLiteral("Wait..."));
    const QTime now = QTime::currentTime();
    QVERIFY(m_main->panel(4) == ClockPanel::shortTime(now) ||
            m_main->panel(4) == ClockPanel::shortTime(now.addSecs(-60)));
    QCOMPARE(varlin_def.Stopped, kTrue);
    for (const char* name : {"Command1", "Command4", "Command2", "Command3"})
        QVERIFY2(m_main->control(name)->isEnabled(), name);
    QVERIFY(!m_main->control("Command5")->isEnabled());
    QCOMPARE(m_main->title(), QStringLiteral("."));
    QCOMPARE(m_main->control<QLineEdit>("txt_send")->text(), QStringLiteral("Send Data Input"));
    // The line end list: "none" at first, in the free space right of txt_send, next in turn.
    const auto* sendEnd = m_main->control<QComboBox>("cmb_send_end");
    QCOMPARE(sendEnd->currentText(), QStringLiteral("none"));
    QCOMPARE(m_main->control("txt_send")->nextInFocusChain(), sendEnd);
    QVERIFY(sendEnd->geometry().left() >= m_main->control("txt_send")->geometry().right() &&
            sendEnd->geometry().right() < window.width());
    QVERIFY(m_main->shown().isEmpty());
    QVERIFY(m_main->control<QLineEdit>("txt_meas_0")->isReadOnly());
}

void TstFrmVarlin::stopBeforeStartChangesNothing() {
    m_main->click("Command4");
    QTest::qWait(30);
    QCOMPARE(m_main->panel(3), QStringLiteral("Wait..."));
    QCOMPARE(varlin_def.Stopped, kTrue);
    QVERIFY(m_main->control("Command1")->isEnabled());
    QVERIFY(!m_main->control("Command5")->isEnabled());
    QCOMPARE(m_fake->closes, 0);
}

void TstFrmVarlin::startThenStopWhileReceiving() {
    m_main->click("Command1");
    QVERIFY(!m_main->control("Command1")->isEnabled() && !m_main->control("Command2")->isEnabled());
    QVERIFY(!m_main->control("Command3")->isEnabled() && m_main->control("Command5")->isEnabled());
    QTRY_VERIFY(m_fake->opened);
    m_fake->feed("a\rb\rc\r");
    QTRY_COMPARE(m_main->panel(3), QStringLiteral("RcvData..."));
    m_main->click("Command4");
    QCOMPARE(m_main->panel(3), QStringLiteral("Stop..."));
    QVERIFY(!m_fake->opened);
    for (const char* name : {"Command1", "Command2", "Command3", "Command4"})
        QVERIFY2(m_main->control(name)->isEnabled(), name);
    QVERIFY(!m_main->control("Command5")->isEnabled());
    QTest::qWait(30); // the loop goes back to idle and the program goes on
    QCOMPARE(m_main->panel(3), QStringLiteral("Stop..."));
    QCOMPARE(m_main->ends, 0);
}

void TstFrmVarlin::stopWhileGettingInStepEndsProgram() {
    m_main->click("Command1");
    QTRY_COMPARE(m_main->panel(3), QStringLiteral("Initialize..."));
    m_main->click("Command4");
    QTRY_COMPARE(m_main->ends, 1);
    QVERIFY(!m_main->window.isVisible());
}

void TstFrmVarlin::burstShowsItsLastRecord() {
    int changes = 0;
    connect(m_main->control<QLineEdit>("txt_meas_0"), &QLineEdit::textChanged, this,
            [&changes] { ++changes; });
    m_main->click("Command1");
    QTRY_VERIFY(m_fake->opened);
    QByteArray burst = "a\rb\rc\r";
    for (int i = 0; i < 10000; ++i)
        burst += "record " + QByteArray::number(i) + "\r\n";
    m_fake->feed(burst);
    QTRY_COMPARE_WITH_TIMEOUT(m_main->shown(), QStringLiteral("record 9999"), 20000);
    // The loop reads a few hundred records per pass; txt_meas changes less often still.
    QVERIFY2(changes < 100, qPrintable(QString::number(changes)));
    QTest::qWait(50);
    QCOMPARE(m_main->shown(), QStringLiteral("record 9999"));
}

void TstFrmVarlin::recordAndSendThroughPtyInstrument() {
    PtyInstrument instrument;
    QVERIFY(instrument.isOpen());
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    open(port);
    const auto windowFirst = qScopeGuard([this] { m_main.reset(); }); // it holds the port
    m_main->click("Command1");
    QTRY_VERIFY(port.isOpen());
    QVERIFY(instrument.write("x\ry\rz\r"));
    QTRY_COMPARE(m_main->panel(3), QStringLiteral("RcvData..."));
    QVERIFY(instrument.write("23.5,caf\xE9\r"));
    QTRY_COMPARE(m_main->shown(), QString::fromLatin1("23.5,caf\xE9"));
    m_main->control<QLineEdit>("txt_send")->setText(QString::fromLatin1("T\xB0?"));
    m_main->click("Command5");
    QCOMPARE(instrument.read(3), QByteArray("T\xB0?"));
    QVERIFY(m_main->sink.messages.isEmpty());
}

void TstFrmVarlin::sendAddsTheChosenLineEnd_data() {
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("none") << "none"
                          << "P" << QByteArray("P");
    QTest::newRow("CR") << "CR"
                        << "SI" << QByteArray("SI\r");
    QTest::newRow("LF") << "LF"
                        << "Z" << QByteArray("Z\n");
    QTest::newRow("CR LF") << "CR LF"
                           << "Q" << QByteArray("Q\r\n");
    QTest::newRow("empty, CR LF") << "CR LF"
                                  << "" << QByteArray();
}

void TstFrmVarlin::sendAddsTheChosenLineEnd() {
    QFETCH(QString, end);
    QFETCH(QString, text);
    QFETCH(QByteArray, sent);
    m_main->click("Command1");
    QTRY_VERIFY(m_fake->opened);
    m_main->control<QComboBox>("cmb_send_end")->setCurrentText(end);
    m_main->control<QLineEdit>("txt_send")->setText(text);
    m_main->click("Command5");
    QCOMPARE(m_fake->sent, sent);
    QCOMPARE(m_fake->sends, sent.isEmpty() ? 0 : 1); // text and end in one write
}

void TstFrmVarlin::theOperatorSeesWhichDeviceEachPortIs() {
    PtyInstrument balance;
    PtyInstrument phMeter;
    QList<SerialDevice> present{usbAdapter(balance.slavePath(), "A1"),
                                usbAdapter(phMeter.slavePath(), "B2")};
    SerialPort port(m_clock, [&present] { return present; });
    open(port);
    const auto windowFirst = qScopeGuard([this] { m_main.reset(); }); // it holds the port
    m_main->click("Command2");
    auto* cmb1 = control<QComboBox>(m_main->settings(), "cmb1");
    QStringList tips;
    for (int i = 0; i < cmb1->count(); ++i)
        tips << cmb1->itemData(i, Qt::ToolTipRole).toString();
    const QString none = QStringLiteral("No device");
    QCOMPARE(tips, QStringList({present[0].description, present[1].description, none, none, none}));
    QCOMPARE(cmb1->itemText(0), QStringLiteral("COM1"));
    click(m_main->settings(), "Command1");
    m_main->click("Command1");
    QTRY_VERIFY(port.isOpen());
    const auto tip = [this] {
        return m_main->control<StatusBar>("SB1")->findChild<QLabel*>("panel2")->toolTip();
    };
    QCOMPARE(tip(), present[0].description);
    QCOMPARE(m_main->panel(2), QStringLiteral("COM1/9600"));
    // Once the port is closed, or the next START opens nothing, it names no device.
    QVERIFY(balance.write("a\rb\rc\r"));
    QTRY_COMPARE(m_main->panel(3), QStringLiteral("RcvData..."));
    m_main->click("Command4");
    QCOMPARE(tip(), QString());
    m_main->click("Command2");
    control<QComboBox>(m_main->settings(), "cmb1")->setCurrentIndex(4);
    click(m_main->settings(), "Command1");
    QCOMPARE(m_main->panel(2), QStringLiteral("COM5/9600"));
    m_main->click("Command1");
    QTRY_COMPARE(m_main->sink.messages, QStringList{"Error : <COM5> 8002"});
    QCOMPARE(tip(), QString());
}

void TstFrmVarlin::recordShownAsTheInstrumentMeantIt_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("text");
    QTest::newRow("UTF-8 units") << QByteArray("12 \xC2\xB5S/cm, 21.5\xC2\xB0")
                                 << QStringLiteral("12 µS/cm, 21.5°");
    QTest::newRow("UTF-8 Japanese")
        << QByteArray("\xE6\xB8\xA9\xE5\xBA\xA6 21.5") << QStringLiteral("温度 21.5");
    QTest::newRow("Latin-1") << QByteArray("caf\xE9 21.5\xB0") << QStringLiteral("café 21.5°");
    QTest::newRow("UTF-8 cut short") << QByteArray("\xE6\xB8 21.5") << QStringLiteral("æ¸ 21.5");
}

void TstFrmVarlin::recordShownAsTheInstrumentMeantIt() {
    QFETCH(QByteArray, line);
    QFETCH(QString, text);
    m_main->click("Command1");
    QTRY_VERIFY(m_fake->opened);
    m_fake->feed("a\rb\rc\rfirst\r" + line + "\r");
    QTRY_COMPARE(m_main->shown(), text);
    QVERIFY(recordsWritten(m_main->logger));
    const QByteArray written = fileText(m_dataDir->filePath(QStringLiteral("20261207.txt")));
    QVERIFY(written.endsWith("\r\n" + line + "\r\n")); // the bytes as they came
}

void TstFrmVarlin::startFolderIsOneTheAccountCanWrite() {
    // Installed: the executable's folder cannot be written; then neither can the documents.
    QStringList unwritable;
    const auto start = [&unwritable] {
        return QFile::decodeName(
            startSavePath([&unwritable](const QString& f) { return !unwritable.contains(f); }));
    };
    QCOMPARE(start(), QCoreApplication::applicationDirPath());
    unwritable << QCoreApplication::applicationDirPath();
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QCOMPARE(start(), documents);
    unwritable << documents;
    QCOMPARE(start(), QDir::homePath());
}

void TstFrmVarlin::lineErrorShowsInTitle() {
    m_main->click("Command1");
    QTRY_VERIFY(m_fake->opened);
    m_fake->raise(1009);
    QCOMPARE(m_main->title(), QStringLiteral("Com1 : Parity error detected"));
    QCOMPARE(m_main->sink.beeps, 1);
}

void TstFrmVarlin::resizeMovesOnlyStatusBar() {
    QHash<QWidget*, QRect> before;
    for (QWidget* w : m_main->window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        before.insert(w, w->geometry());
    QCOMPARE(m_main->control("txt_meas_0")->geometry(), QRect(16, 52, 497, 23));
    QCOMPARE(m_main->control("SB1")->geometry(), QRect(0, 161, 525, 17));
    m_main->window.resize(800, 400);
    QTRY_COMPARE(m_main->control("SB1")->geometry(), QRect(0, 383, 800, 17));
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (it.key()->objectName() != QLatin1String("SB1"))
            QCOMPARE(it.key()->geometry(), it.value());
    }
}

void TstFrmVarlin::portPanelShowsNumberInFull_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("baud");
    QTest::addColumn<QString>("text");
    QTest::newRow("port 12") << 12 << QByteArray("9600") << "COM12/9600";
    QTest::newRow("baud as stored") << 3 << QByteArray("19200") << "COM3/19200";
}

void TstFrmVarlin::portPanelShowsNumberInFull() {
    QFETCH(int, port);
    QFETCH(QByteArray, baud);
    varlin_def.PortNumber = static_cast<int16_t>(port);
    varlin_def.BaudRate = baud;
    m_main->window.showSavePathAndPort();
    QTEST(m_main->panel(2), "text");
}

void TstFrmVarlin::folderPanelTellsOfTheSpreadsheetCopy() {
    const auto* panel1 = m_main->control<StatusBar>("SB1")->findChild<QLabel*>("panel1");
    QCOMPARE(panel1->toolTip(), QString());
    // After a record went to the day's file, the panel names it and the tooltip its copy.
    varlin_def.DataFilePath =
        QFile::encodeName(m_dataDir->path() + QStringLiteral("/20261207.txt"));
    m_main->click("Command2");
    control<QCheckBox>(m_main->settings(), "chk_csv")->setChecked(true);
    control<QComboBox>(m_main->settings(), "cmb_csv_numbers")->setEditText(QStringLiteral("3"));
    control<QComboBox>(m_main->settings(), "cmb_csv_dialect")->setCurrentIndex(1);
    click(m_main->settings(), "Command1");
    QCOMPARE(panel1->toolTip(), QStringLiteral("Spreadsheet copy beside each data file: "
                                               "20261207.csv (3 values a row, decimal comma)"));
    // At start the panel shows the folder: the copy's name is a pattern.
    varlin_def.CsvNumbers = 1;
    varlin_def.CsvDecimalComma = kFalse;
    varlin_def.HourlyFiles = kTrue;
    m_main->window.showSavePathAndPort();
    QCOMPARE(panel1->toolTip(), QStringLiteral("Spreadsheet copy beside each data file: "
                                               "YYYYMMDD_hh.csv (1 value a row, decimal point)"));
}

void TstFrmVarlin::closeBoxWhileRunningClosesPortAndEndsLoop() {
    m_main->click("Command1");
    QTRY_VERIFY(m_fake->opened);
    QVERIFY(m_main->window.windowHandle()->close()); // as the title bar's close box does
    QVERIFY(!m_fake->opened);
    QCOMPARE(m_main->ends, 1);
    // A loop still running would now get in step and show this record.
    m_fake->opened = true;
    const QByteArray unread = "a\rb\rc\rlate\r";
    m_fake->feed(unread);
    QTest::qWait(100);
    QVERIFY(m_main->shown().isEmpty());
    QCOMPARE(m_fake->received, unread);
}

void TstFrmVarlin::shortTimeDropsSeconds_data() {
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("text");
    QTest::newRow("C, which carries seconds") << QLocale::c() << "15:33";
    QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "15:33";
}

void TstFrmVarlin::shortTimeDropsSeconds() {
    QFETCH(QLocale, locale);
    QTEST(ClockPanel::shortTime(QTime(15, 33, 47), locale), "text");
}

void TstFrmVarlin::clockWakesJustPastTheMinute_data() {
    QTest::addColumn<QTime>("now");
    QTest::addColumn<int>("ms");
    QTest::newRow("on the minute") << QTime(10, 0) << 60020;
    QTest::newRow("half way") << QTime(10, 0, 30, 500) << 29520;
    QTest::newRow("last millisecond") << QTime(23, 59, 59, 999) << 21;
}

void TstFrmVarlin::clockWakesJustPastTheMinute() {
    QFETCH(QTime, now);
    QTEST(ClockPanel::msUntilNextMinute(now), "ms");
}

QTEST_MAIN(TstFrmVarlin)
// txt_meas copies its panel from a cache: after a change of size or colour it still looks
// exactly like a line edit its style draws directly.
void TstFrmVarlin::recordBoxLooksAsItsStyleDrawsIt_data() {
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QColor>("base");
    QTest::newRow("as placed") << QSize() << QColor();
    QTest::newRow("resized") << QSize(300, 40) << QColor();
    QTest::newRow("other colour") << QSize() << QColor(Qt::yellow);
}

void TstFrmVarlin::recordBoxLooksAsItsStyleDrawsIt() {
    QFETCH(QSize, size);
    QFETCH(QColor, base);
    auto* shown = m_main->control<QLineEdit>("txt_meas_0");
    shown->setText(QStringLiteral("2026/12/07,10:00:00,+0012.34 g"));
    QLineEdit plain(shown->text(), shown->parentWidget());
    plain.setReadOnly(true);
    plain.setFont(shown->font());
    plain.setPalette(shown->palette());
    plain.setGeometry(shown->geometry());
    QCOMPARE(shown->grab().toImage(), plain.grab().toImage());
    for (QLineEdit* edit : {shown, &plain}) {
        if (size.isValid())
            edit->resize(size);
        if (base.isValid()) {
            QPalette palette = edit->palette();
            palette.setColor(QPalette::Base, base);
            edit->setPalette(palette);
        }
    }
    QCOMPARE(shown->grab().toImage(), plain.grab().toImage());
}

#include "tst_frm_varlin.moc"
