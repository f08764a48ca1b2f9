#include "acquisition/logger.h"
#include "acquisition/serial_port.h"
#include "acquisition/varlin_def.h"
#include "support/fakes.h"
#include "support/pty_instrument.h"
#include "ui/clock_panel.h"
#include "ui/frm_savepath.h"
#include "ui/frm_varlin.h"
#include "ui/status_bar.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
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
    void cleanup();
    void freshStartShowsStartValues();
    void stopBeforeStartChangesNothing();
    void startThenStopWhileReceiving();
    void stopWhileGettingInStepEndsProgram();
    void burstShowsItsLastRecord();
    void recordAndSendThroughPtyInstrument();
    void recordShownAsTheInstrumentMeantIt_data();
    void recordShownAsTheInstrumentMeantIt();
    void startFolderIsOneTheAccountCanWrite();
    void lineErrorShowsInTitle();
    void resizeMovesOnlyStatusBar();
    void portPanelShowsNumberInFull_data();
    void portPanelShowsNumberInFull();
    void settingOpensOneWindowAtATime();
    void closeBoxWhileRunningClosesPortAndEndsLoop();
    void shortTimeDropsSeconds_data();
    void shortTimeDropsSeconds();

private:
    Frm_Varlin& create(CommPort& port);
    Frm_Varlin& open(CommPort& port);
    template <typename W = QWidget> W* control(const char* name) const {
        W* w = m_window->findChild<W*>(QLatin1String(name), Qt::FindDirectChildrenOnly);
        Q_ASSERT(w);
        return w;
    }
    QString panel(int n) const { return control<StatusBar>("SB1")->panelText(n); }
    void click(const char* button) { QTest::mouseClick(control(button), Qt::LeftButton); }
    QString shown() const { return control<QLineEdit>("txt_meas_0")->text(); }

    FakeCommPort m_fake;
    FakeClock m_clock;
    RecordingSink m_sink;
    QTemporaryDir m_dataDir;
    std::unique_ptr<Logger> m_logger;
    std::unique_ptr<Frm_Varlin> m_window;
    int m_ends = 0;
};

void TstFrmVarlin::init() {
    varlin_def = VarlinDef{};
    m_fake.received.clear();
    m_fake.opened = false;
    m_fake.closes = 0;
    m_fake.opens = 0;
    m_sink.messages.clear();
    m_sink.beeps = 0;
    m_ends = 0;
}

void TstFrmVarlin::cleanup() {
    m_window.reset();
    m_logger.reset();
}

Frm_Varlin& TstFrmVarlin::create(CommPort& port) {
    m_logger = std::make_unique<Logger>(port, m_clock, m_sink);
    m_window = std::make_unique<Frm_Varlin>(*m_logger, [this] { ++m_ends; });
    return *m_window;
}

Frm_Varlin& TstFrmVarlin::open(CommPort& port) {
    create(port);
    m_window->show();
    // Records go to a scratch folder, not next to the test binary.
    varlin_def.SavePath = QFile::encodeName(m_dataDir.path());
    return *m_window;
}

void TstFrmVarlin::freshStartShowsStartValues() {
    create(m_fake);
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Tessaline Serial Data"));
    QCOMPARE(m_window->size(), QSize(525, 178));
    QVERIFY(!m_window->windowIcon().pixmap(32, 32).isNull());
    QCOMPARE(panel(1), QCoreApplication::applicationDirPath());
    QCOMPARE(panel(2), QStringLiteral("COM1/9600"));
    QCOMPARE(panel(3), QStringLiteral("Wait..."));
    const QTime now = QTime::currentTime();
    QVERIFY(panel(4) == ClockPanel::shortTime(now) ||
            panel(4) == ClockPanel::shortTime(now.addSecs(-60)));
    QVERIFY(control<StatusBar>("SB1")->findChild<ClockPanel*>("panel4")->msUntilNextMinute() <=
            60020);
    QCOMPARE(varlin_def.Stopped, kTrue);
    for (const char* name : {"Command1", "Command4", "Command2", "Command3"})
        QVERIFY2(control(name)->isEnabled(), name);
    QVERIFY(!control("Command5")->isEnabled());
    QCOMPARE(control<QLabel>("lbl_title")->text(), QStringLiteral("."));
    QCOMPARE(control<QLineEdit>("txt_send")->text(), QStringLiteral("Send Data Input"));
    QVERIFY(shown().isEmpty());
    QVERIFY(control<QLineEdit>("txt_meas_0")->isReadOnly());
}

void TstFrmVarlin::stopBeforeStartChangesNothing() {
    open(m_fake);
    click("Command4");
    QTest::qWait(30);
    QCOMPARE(panel(3), QStringLiteral("Wait..."));
    QCOMPARE(varlin_def.Stopped, kTrue);
    QVERIFY(control("Command1")->isEnabled());
    QVERIFY(!control("Command5")->isEnabled());
    QCOMPARE(m_fake.closes, 0);
}

void TstFrmVarlin::startThenStopWhileReceiving() {
    open(m_fake);
    click("Command1");
    QVERIFY(!control("Command1")->isEnabled() && !control("Command2")->isEnabled());
    QVERIFY(!control("Command3")->isEnabled() && control("Command5")->isEnabled());
    QTRY_VERIFY(m_fake.opened);
    m_fake.feed("a\rb\rc\r");
    QTRY_COMPARE(panel(3), QStringLiteral("RcvData..."));
    click("Command4");
    QCOMPARE(panel(3), QStringLiteral("Stop..."));
    QVERIFY(!m_fake.opened);
    for (const char* name : {"Command1", "Command2", "Command3", "Command4"})
        QVERIFY2(control(name)->isEnabled(), name);
    QVERIFY(!control("Command5")->isEnabled());
    QTest::qWait(30); // the loop goes back to idle and the program goes on
    QCOMPARE(panel(3), QStringLiteral("Stop..."));
    QCOMPARE(m_ends, 0);
}

void TstFrmVarlin::stopWhileGettingInStepEndsProgram() {
    open(m_fake);
    click("Command1");
    QTRY_COMPARE(panel(3), QStringLiteral("Initialize..."));
    click("Command4");
    QTRY_COMPARE(m_ends, 1);
    QVERIFY(!m_window->isVisible());
}

void TstFrmVarlin::burstShowsItsLastRecord() {
    open(m_fake);
    int changes = 0;
    connect(control<QLineEdit>("txt_meas_0"), &QLineEdit::textChanged, this,
            [&changes] { ++changes; });
    click("Command1");
    QTRY_VERIFY(m_fake.opened);
    QByteArray burst = "a\rb\rc\r";
    for (int i = 0; i < 10000; ++i)
        burst += "record " + QByteArray::number(i) + "\r\n";
    m_fake.feed(burst);
    QTRY_COMPARE_WITH_TIMEOUT(shown(), QStringLiteral("record 9999"), 20000);
    // The loop reads a few hundred records per pass; txt_meas changes less often still.
    QVERIFY2(changes < 100, qPrintable(QString::number(changes)));
    QTest::qWait(50);
    QCOMPARE(shown(), QStringLiteral("record 9999"));
}

void TstFrmVarlin::recordAndSendThroughPtyInstrument() {
    PtyInstrument instrument;
    QVERIFY(instrument.isOpen());
    SerialPort port(
        m_clock, [&instrument](int16_t n) { return n == 1 ? instrument.slavePath() : QString(); });
    open(port);
    click("Command1");
    QTRY_VERIFY(port.isOpen());
    QVERIFY(instrument.write("x\ry\rz\r"));
    QTRY_COMPARE(panel(3), QStringLiteral("RcvData..."));
    QVERIFY(instrument.write("23.5,caf\xE9\r"));
    QTRY_COMPARE(shown(), QString::fromLatin1("23.5,caf\xE9"));
    control<QLineEdit>("txt_send")->setText(QString::fromLatin1("T\xB0?"));
    click("Command5");
    QCOMPARE(instrument.read(3), QByteArray("T\xB0?"));
    QVERIFY(m_sink.messages.isEmpty());
    cleanup(); // before the port it uses goes away
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
    open(m_fake);
    click("Command1");
    QTRY_VERIFY(m_fake.opened);
    m_fake.feed("a\rb\rc\rfirst\r" + line + "\r");
    QTRY_COMPARE(shown(), text);
    QFile file(QDir(m_dataDir.path()).filePath(QStringLiteral("20261207.txt")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().endsWith("\r\n" + line + "\r\n")); // the bytes as they came
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
    open(m_fake);
    m_fake.raise(1009);
    QCOMPARE(control<QLabel>("lbl_title")->text(), QStringLiteral("Com1 : Parity error detected"));
    QCOMPARE(m_sink.beeps, 1);
}

void TstFrmVarlin::resizeMovesOnlyStatusBar() {
    open(m_fake);
    QHash<QWidget*, QRect> before;
    for (QWidget* w : m_window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        before.insert(w, w->geometry());
    QCOMPARE(control("txt_meas_0")->geometry(), QRect(16, 52, 497, 23));
    QCOMPARE(control("SB1")->geometry(), QRect(0, 161, 525, 17));
    m_window->resize(800, 400);
    QTest::qWait(10);
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (it.key()->objectName() != QLatin1String("SB1"))
            QCOMPARE(it.key()->geometry(), it.value());
    }
    QCOMPARE(control("SB1")->geometry(), QRect(0, 383, 800, 17));
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
    open(m_fake);
    varlin_def.PortNumber = static_cast<int16_t>(port);
    varlin_def.BaudRate = baud;
    m_window->showSavePathAndPort();
    QTEST(panel(2), "text");
}

void TstFrmVarlin::settingOpensOneWindowAtATime() {
    open(m_fake);
    click("Command2");
    click("Command2");
    QList<Frm_Savepath*> settings = m_window->findChildren<Frm_Savepath*>();
    QCOMPARE(settings.size(), 1);
    QPointer<Frm_Savepath> first = settings.first();
    QVERIFY(first->isVisible());
    first->close();
    QTRY_VERIFY(first.isNull());
    click("Command2");
    settings = m_window->findChildren<Frm_Savepath*>();
    QCOMPARE(settings.size(), 1);
    QVERIFY(settings.first()->isVisible());
}

void TstFrmVarlin::closeBoxWhileRunningClosesPortAndEndsLoop() {
    open(m_fake);
    click("Command1");
    QTRY_VERIFY(m_fake.opened);
    QVERIFY(m_window->windowHandle()->close()); // as the title bar's close box does
    QVERIFY(!m_fake.opened);
    QCOMPARE(m_ends, 1);
    // A loop still running would now get in step and show this record.
    m_fake.opened = true;
    const QByteArray unread = "a\rb\rc\rlate\r";
    m_fake.feed(unread);
    QTest::qWait(100);
    QVERIFY(shown().isEmpty());
    QCOMPARE(m_fake.received, unread);
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

QTEST_MAIN(TstFrmVarlin)
#include "tst_frm_varlin.moc"
