// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/window_kit.h"
#include "ui/folder_list.h"
#include "ui/frm_savepath.h"

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

    FakeClock m_clock;
    std::unique_ptr<QTemporaryDir> m_dataDir;
    std::unique_ptr<FakeCommPort> m_port;
    std::unique_ptr<LoggerWindow> m_main;

    template <typename W> W* setting(const char* name) const {
        return control<W>(m_main->settings(), name);
    }
    QString dataFile(const char* name) const { return QDir(m_dataDir->path()).filePath(name); }
    static QByteArray lastLine(const QString& path) {
        return fileText(path).trimmed().split('\n').last().trimmed();
    }
    bool feed(const QByteArray& line) {
        m_port->feed(line + '\r');
        const QString shown = QString::fromLatin1(line);
        return QTest::qWaitFor([&] { return m_main->shown().endsWith(shown); }) &&
               recordsWritten(m_main->logger);
    }
    // Setting first (it is disabled while running), then START; "r1" is written with the
    // settings the window found.
    bool receiveWithSettingsOpen() {
        m_main->click("Command2");
        if (!m_main->settings())
            return false;
        m_main->click("Command1");
        if (!QTest::qWaitFor([this] { return m_port->opened; }))
            return false;
        m_port->feed("a\rb\rc\r");
        // The first record of a run is shown only.
        return feed("first") && feed("r1") &&
               lastLine(dataFile("20261207.txt")) == QByteArray("r1") &&
               m_main->settings()->isVisible();
    }
    bool clickSettingsClose() {
        click(m_main->settings(), "Command1");
        return QTest::qWaitFor([this] { return !m_main->settings(); });
    }

private Q_SLOTS:
    void init() {
        m_dataDir = std::make_unique<QTemporaryDir>();
        m_port = std::make_unique<FakeCommPort>();
        m_port->clock = &m_clock;
        m_main = std::make_unique<LoggerWindow>(*m_port, m_clock, m_dataDir->path());
    }
    void cleanup() { m_main.reset(); }

    void settingOpensOneWindowAtATime() {
        m_main->click("Command2");
        setting<QLineEdit>("Text1")->setText(QStringLiteral("bench 4"));
        m_main->click("Command2");
        QCOMPARE(m_main->window.findChildren<Frm_Savepath*>().size(), 1);
        QVERIFY(m_main->settings()->isVisible());
        QCOMPARE(setting<QLineEdit>("Text1")->text(), QStringLiteral("bench 4"));
        QVERIFY(clickSettingsClose());
        QCOMPARE(varlin_def.FileComment, QByteArray("bench 4"));
        QCOMPARE(m_main->panel(2), QStringLiteral("COM1/9600"));
        m_main->click("Command2"); // closed, so a new one
        QVERIFY(m_main->settings() && m_main->settings()->isVisible());
    }
    void closeWhileRunningTakesEffectAtTheNextRecord() {
        QVERIFY(receiveWithSettingsOpen());
        QTest::mouseClick(setting<QCheckBox>("Check1"), Qt::LeftButton);
        QVERIFY(feed("r2")); // still unstamped: the window has not been closed yet
        QCOMPARE(lastLine(dataFile("20261207.txt")), QByteArray("r2"));
        QVERIFY(clickSettingsClose());
        QVERIFY(feed("r3"));
        QCOMPARE(lastLine(dataFile("20261207.txt")), QByteArray("2026/12/07,10:00:00,r3"));
        QCOMPARE(m_main->panel(1), dataFile("20261207.txt"));
    }
    void hourAtCloseSendsTheNextRecordToAnHourlyFile() {
        QVERIFY(receiveWithSettingsOpen());
        QTest::mouseClick(setting<QRadioButton>("Option1_1"), Qt::LeftButton);
        QVERIFY(clickSettingsClose());
        QVERIFY(feed("r2"));
        QCOMPARE(lastLine(dataFile("20261207_10.txt")), QByteArray("r2"));
        QCOMPARE(lastLine(dataFile("20261207.txt")), QByteArray("r1"));
    }
    void japaneseCommentHeadsTheNextFileAndShowsAgain() {
        const QString comment = QStringLiteral("テスト測定, 第2回");
        m_main->click("Command2");
        auto* text1 = setting<QLineEdit>("Text1");
        text1->clear();
        QInputMethodEvent typed; // Japanese is typed through an input method
        typed.setCommitString(comment);
        QCoreApplication::sendEvent(text1, &typed);
        QVERIFY(clickSettingsClose());
        m_main->click("Command1");
        QTRY_VERIFY(m_port->opened);
        m_port->feed("a\rb\rc\r");
        QVERIFY(feed("first"));
        QCOMPARE(fileText(dataFile("20261207.txt")), header(comment.toUtf8()));
        m_main->click("Command4");
        m_main->click("Command2");
        QCOMPARE(setting<QLineEdit>("Text1")->text(), comment);
    }
    void theNextRecordLandsInTheChosenFolder() {
        QVERIFY(QDir(m_dataDir->path()).mkdir(QStringLiteral("run2")));
        QVERIFY(receiveWithSettingsOpen());
        auto* dir1 = setting<FolderList>("Dir1");
        dir1->setCurrentItem(dir1->findItems(QStringLiteral("run2"), Qt::MatchExactly).value(0));
        QTest::keyClick(dir1, Qt::Key_Enter);
        QVERIFY(clickSettingsClose());
        QVERIFY(feed("r2"));
        QCOMPARE(lastLine(dataFile("run2/20261207.txt")), QByteArray("r2"));
        QCOMPARE(lastLine(dataFile("20261207.txt")), QByteArray("r1"));
    }
};

QTEST_MAIN(TstSettingsFlow)
#include "tst_settings_flow.moc"
