#include "acquisition/logger.h"
#include "acquisition/serial_port.h"
#include "acquisition/varlin_def.h"
#include "support/fakes.h"
#include "support/pty_instrument.h"
#include "ui/folder_list.h"
#include "ui/frm_savepath.h"
#include "ui/frm_varlin.h"
#include "ui/status_bar.h"

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

// The whole logger as an operator meets it: real windows, the real loop and serial layer on a
// pty instrument, real data files; only the clock is the test's, so names and stamps are known.
class TstEndToEnd : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    FakeClock m_clock;
    RecordingSink m_sink;
    PtyInstrument m_instrument;
    SerialPort m_port{m_clock,
                      [this](int16_t n) { return n == 1 ? m_instrument.slavePath() : QString(); }};
    int m_ends = 0;

    template <typename W = QWidget> static W* child(QWidget* window, const char* name) {
        W* w = window->findChild<W*>(QLatin1String(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    static void click(QWidget* window, const char* name) {
        QTest::mouseClick(child(window, name), Qt::LeftButton);
    }
    static QByteArray fileText(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
    }
    // Sends one CR LF line and waits until the window shows its record.
    bool sendLine(QWidget* main, const QByteArray& line, const QByteArray& record) {
        const auto* meas = child<QLineEdit>(main, "txt_meas_0");
        return m_instrument.write(line + "\r\n") &&
               QTest::qWaitFor([&] { return meas->text() == QString::fromLatin1(record); }, 10000);
    }
    QByteArray stamped(const QByteArray& line) const {
        return m_clock.current.toString(u"yyyy/MM/dd,hh:mm:ss.zzz").toLatin1() + "," + line;
    }

private Q_SLOTS:
    void operatorSession();
};

void TstEndToEnd::operatorSession() {
    QVERIFY(m_instrument.isOpen());
    varlin_def = VarlinDef{};
    Logger logger(m_port, m_clock, m_sink);
    Frm_Varlin main(logger, [this] { ++m_ends; });
    main.show();
    const QString data = m_dir.path();
    varlin_def.SavePath = QFile::encodeName(data);
    QVERIFY(QDir(data).mkdir(QStringLiteral("run2")));
    const auto panel = [&main](int n) { return child<StatusBar>(&main, "SB1")->panelText(n); };

    // Setting stays open beside the running logger (its button is disabled while running).
    click(&main, "Command2");
    auto* settings = main.findChild<Frm_Savepath*>();
    QVERIFY(settings);
    click(&main, "Command1");
    QTRY_VERIFY(m_port.isOpen());
    // A partial line and three line ends: all of it is thrown away to get in step.
    QVERIFY(m_instrument.write("0.001 g\r\nST,+0000.000 g\r\nST,+0000.000 g\r\n"));
    QTRY_COMPARE(panel(3), QStringLiteral("RcvData..."));
    QVERIFY(sendLine(&main, "ST,+0012.345 g", "ST,+0012.345 g")); // shown, never written
    QByteArray daily = " Recive Data ,26/12/07,10:00:00,\r\n";
    for (const QByteArray line : {"ST,+0012.346 g", "US,+0013.000 g", "ST,-0000.002 g"}) {
        QVERIFY(sendLine(&main, line, line));
        daily += line + "\r\n";
    }
    // Tabs and other codes below 16 never reach a record.
    QVERIFY(sendLine(&main, "ST,\t+0001.500\x01 g", "ST,+0001.500 g"));
    daily += "ST,+0001.500 g\r\n";
    QCOMPARE(fileText(data + "/20261207.txt"), daily);

    // Stamps to the millisecond, hourly files, the new folder opened with keys, a comment.
    QTest::mouseClick(child(settings, "Check1"), Qt::LeftButton);
    QTest::mouseClick(child(settings, "Check3"), Qt::LeftButton);
    QTest::mouseClick(child(settings, "Option1_1"), Qt::LeftButton);
    auto* dir1 = child<FolderList>(settings, "Dir1");
    dir1->setFocus();
    QTest::keyClick(dir1, Qt::Key_Down); // the first sub-folder below the current one
    QTest::keyClick(dir1, Qt::Key_Return);
    QCOMPARE(dir1->currentFolder(), data + "/run2");
    auto* comment = child<QLineEdit>(settings, "Text1");
    QTest::keyClick(comment, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(comment, "bench 4, scale B");
    QPointer<Frm_Savepath> closing(settings);
    click(settings, "Command1");
    QTRY_VERIFY(!closing);

    QByteArray hourly = " Recive Data ,26/12/07,10:01:01,bench 4, scale B\r\n";
    for (const auto& [line, stepMs] :
         {std::pair{QByteArray("ST,+0012.400 g"), 61'234}, {QByteArray("ST,+0012.401 g"), 1'007}}) {
        m_clock.advanceMs(stepMs);
        QVERIFY(sendLine(&main, line, stamped(line)));
        hourly += stamped(line) + "\r\n";
    }
    // An empty line carries the stamp of the LF before its CR; the clock stays put meanwhile,
    // as that LF may be read before or after the previous record is shown.
    QVERIFY(sendLine(&main, "", stamped("")));
    hourly += stamped("") + "\r\n";
    QCOMPARE(fileText(data + "/run2/20261207_10.txt"), hourly);
    QCOMPARE(fileText(data + "/20261207.txt"), daily); // the daily file got nothing more

    auto* sendBox = child<QLineEdit>(&main, "txt_send");
    QTest::mouseClick(sendBox, Qt::LeftButton);
    QTest::keyClick(sendBox, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(sendBox, "ABC");
    click(&main, "Command5");
    QCOMPARE(m_instrument.read(3), QByteArray("ABC"));

    click(&main, "Command4");
    QCOMPARE(panel(3), QStringLiteral("Stop..."));
    QVERIFY(!m_port.isOpen());
    click(&main, "Command1"); // at once: the loop has not yet seen the STOP
    QTRY_VERIFY(m_port.isOpen());
    QCOMPARE(panel(3), QStringLiteral("Initialize..."));
    QVERIFY(m_instrument.write("ST,+0099.000 g\r\n\r\nST,+0099.000 g\r\n"));
    QTRY_COMPARE(panel(3), QStringLiteral("RcvData..."));
    // Only the program's very first record is left out: this one is written.
    m_clock.advanceMs(2'500);
    QVERIFY(sendLine(&main, "ST,+0012.500 g", stamped("ST,+0012.500 g")));
    hourly += stamped("ST,+0012.500 g") + "\r\n";
    QCOMPARE(fileText(data + "/run2/20261207_10.txt"), hourly);

    click(&main, "Command4");
    QTRY_VERIFY(!m_port.isOpen());
    QCOMPARE(m_ends, 0);
    click(&main, "Command3");
    QCOMPARE(m_ends, 1);
    QVERIFY(!main.isVisible());
    QVERIFY2(m_sink.messages.isEmpty(), qPrintable(m_sink.messages.join('|')));
    QCOMPARE(QDir(data).entryList(QDir::Files), QStringList{"20261207.txt"});
    QCOMPARE(QDir(data + "/run2").entryList(QDir::Files), QStringList{"20261207_10.txt"});
}

QTEST_MAIN(TstEndToEnd)
#include "tst_end_to_end.moc"
