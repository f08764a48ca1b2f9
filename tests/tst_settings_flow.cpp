#include "acquisition/logger.h"
#include "acquisition/varlin_def.h"
#include "support/fakes.h"
#include "ui/folder_list.h"
#include "ui/frm_savepath.h"
#include "ui/frm_varlin.h"
#include "ui/status_bar.h"

#include <QCheckBox>
#include <QDir>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The settings window opened from the main window while the logger runs on a fake port.
class TstSettingsFlow : public QObject {
    Q_OBJECT

    FakeCommPort m_port;
    FakeClock m_clock;
    RecordingSink m_sink;
    std::unique_ptr<QTemporaryDir> m_dataDir;
    std::unique_ptr<Logger> m_logger;
    std::unique_ptr<Frm_Varlin> m_main;

    QWidget* mainControl(const char* name) const {
        return m_main->findChild<QWidget*>(QLatin1String(name), Qt::FindDirectChildrenOnly);
    }
    Frm_Savepath* settings() const {
        const auto open = m_main->findChildren<Frm_Savepath*>();
        return open.size() == 1 ? open.first() : nullptr;
    }
    template <typename W> W* setting(const char* name) const {
        return settings()->findChild<W*>(QLatin1String(name));
    }
    QString shown() const { return m_main->findChild<QLineEdit*>("txt_meas_0")->text(); }
    QString dataFile(const char* name) const { return QDir(m_dataDir->path()).filePath(name); }

    static QByteArray lastLine(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return "(no file " + QFile::encodeName(path) + ")";
        return file.readAll().trimmed().split('\n').last().trimmed();
    }
    void feed(const QByteArray& line) {
        m_port.feed(line + '\r');
        QTRY_VERIFY(shown().endsWith(QString::fromLatin1(line)));
    }
    // Setting first (it is disabled while running), then START; "r1" is written with the
    // settings the window found.
    void receiveWithSettingsOpen() {
        QTest::mouseClick(mainControl("Command2"), Qt::LeftButton);
        QVERIFY(settings());
        QTest::mouseClick(mainControl("Command1"), Qt::LeftButton);
        QTRY_VERIFY(m_port.opened);
        m_port.feed("a\rb\rc\r");
        feed("first"); // the first record of a run is shown only
        feed("r1");
        QCOMPARE(lastLine(dataFile("20261207.txt")), QByteArray("r1"));
        QVERIFY(settings()->isVisible());
    }
    void clickSettingsClose() {
        QTest::mouseClick(setting<QPushButton>("Command1"), Qt::LeftButton);
        QTRY_VERIFY(!settings());
    }

private Q_SLOTS:
    void init() {
        varlin_def = VarlinDef{};
        m_port.received.clear();
        m_port.opened = false;
        m_dataDir = std::make_unique<QTemporaryDir>();
        m_port.clock = &m_clock;
        m_logger = std::make_unique<Logger>(m_port, m_clock, m_sink);
        m_main = std::make_unique<Frm_Varlin>(*m_logger, [] {});
        m_main->show();
        varlin_def.SavePath = QFile::encodeName(m_dataDir->path());
    }
    void cleanup() {
        m_main.reset();
        m_logger.reset();
    }

    void settingTwiceKeepsOneWindowAndItsEdits() {
        QTest::mouseClick(mainControl("Command2"), Qt::LeftButton);
        setting<QLineEdit>("Text1")->setText(QStringLiteral("bench 4"));
        QTest::mouseClick(mainControl("Command2"), Qt::LeftButton);
        QCOMPARE(setting<QLineEdit>("Text1")->text(), QStringLiteral("bench 4"));
        clickSettingsClose();
        QCOMPARE(varlin_def.FileComment, QByteArray("bench 4"));
        QCOMPARE(m_main->findChild<StatusBar*>("SB1")->panelText(2), QStringLiteral("COM1/9600"));
    }
    void closeWhileRunningTakesEffectAtTheNextRecord() {
        receiveWithSettingsOpen();
        QTest::mouseClick(setting<QCheckBox>("Check1"), Qt::LeftButton);
        feed("r2"); // still unstamped: the window has not been closed yet
        QCOMPARE(lastLine(dataFile("20261207.txt")), QByteArray("r2"));
        clickSettingsClose();
        feed("r3");
        QCOMPARE(lastLine(dataFile("20261207.txt")), QByteArray("2026/12/07,10:00:00,r3"));
        QCOMPARE(m_main->findChild<StatusBar*>("SB1")->panelText(1), dataFile("20261207.txt"));
    }
    void hourAtCloseSendsTheNextRecordToAnHourlyFile() {
        receiveWithSettingsOpen();
        QTest::mouseClick(setting<QRadioButton>("Option1_1"), Qt::LeftButton);
        clickSettingsClose();
        feed("r2");
        QCOMPARE(lastLine(dataFile("20261207_10.txt")), QByteArray("r2"));
        QCOMPARE(lastLine(dataFile("20261207.txt")), QByteArray("r1"));
    }
    void japaneseCommentHeadsTheNextFileAndShowsAgain() {
        const QString comment = QStringLiteral("テスト測定, 第2回");
        QTest::mouseClick(mainControl("Command2"), Qt::LeftButton);
        auto* text1 = setting<QLineEdit>("Text1");
        text1->clear();
        QInputMethodEvent typed; // Japanese is typed through an input method
        typed.setCommitString(comment);
        QCoreApplication::sendEvent(text1, &typed);
        clickSettingsClose();
        QTest::mouseClick(mainControl("Command1"), Qt::LeftButton);
        QTRY_VERIFY(m_port.opened);
        m_port.feed("a\rb\rc\r");
        feed("first");
        QFile file(dataFile("20261207.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), " Recive Data ,26/12/07,10:00:00," + comment.toUtf8() + "\r\n");
        QTest::mouseClick(mainControl("Command4"), Qt::LeftButton);
        QTest::mouseClick(mainControl("Command2"), Qt::LeftButton);
        QCOMPARE(setting<QLineEdit>("Text1")->text(), comment);
    }
    void theNextRecordLandsInTheChosenFolder() {
        QVERIFY(QDir(m_dataDir->path()).mkdir(QStringLiteral("run2")));
        receiveWithSettingsOpen();
        auto* dir1 = setting<FolderList>("Dir1");
        dir1->setCurrentItem(dir1->findItems(QStringLiteral("run2"), Qt::MatchExactly).value(0));
        QTest::keyClick(dir1, Qt::Key_Enter);
        clickSettingsClose();
        feed("r2");
        QCOMPARE(lastLine(dataFile("run2/20261207.txt")), QByteArray("r2"));
        QCOMPARE(lastLine(dataFile("20261207.txt")), QByteArray("r1"));
    }
};

QTEST_MAIN(TstSettingsFlow)
#include "tst_settings_flow.moc"
