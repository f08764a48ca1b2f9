// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/start_options.h"
#include "support/pty_instrument.h"
#include "support/window_kit.h"
#include "ui/folder_list.h"
#include "ui/logger_program.h"
#include "ui/status_bar.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <array>

namespace {

const QList<QByteArray> kSettingControls =
    QByteArray("cmb1 cmb2 Check1 Check3 Text1 Dir1 Option1_1 chk_ask txt_ask_command cmb_ask_end "
               "chk_csv cmb_csv_numbers cmb_csv_dialect txt_ask_interval")
        .split(' ');

QString shownBy(const QWidget* control) {
    if (const auto* list = qobject_cast<const FolderList*>(control))
        return list->currentFolder();
    if (const auto* box = qobject_cast<const QComboBox*>(control))
        return box->currentText();
    if (const auto* field = qobject_cast<const QLineEdit*>(control))
        return field->text();
    return qobject_cast<const QAbstractButton*>(control)->isChecked() ? "on" : "off";
}

// Rows give lists as "a|b|c".
void row(const char* arguments, const char* second, const char* third = "") {
    const auto list = [](const char* text) {
        return QString::fromUtf8(text).split('|', Qt::SkipEmptyParts);
    };
    QString name = QString::fromUtf8(arguments).replace('|', ' ');
    if (*third)
        name += " with " + QString::fromUtf8(third).replace('\n', "\\n").replace('\r', "\\r");
    QTest::newRow(name.toUtf8().constData())
        << list(arguments) << list(second) << QString::fromUtf8(third);
}

} // namespace

// The options of a start as the operator meets them: in the real program's Setting window, or
// refused by the real program before it opens any.
class TstStartOptions : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QStringList m_plain; // what Setting shows after a start without options
    PortScan m_ports;

    // "@name" is a file or folder in the test's folder.
    QStringList here(QStringList texts) const {
        return texts.replaceInStrings(QStringLiteral("@"), m_dir.path() + '/');
    }
    bool writeFile(const char* name, const QString& text) const {
        QFile file(m_dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) == text.toUtf8().size();
    }
    // The program run here with `arguments`; `operate` runs once its window is up and ends it.
    int run(const QStringList& arguments, const std::function<void(Frm_Varlin&)>& operate) {
        RecordingSink sink;
        LoggerProgram program;
        program.options = parseStartOptions(arguments).options;
        program.savePath = QFile::encodeName(m_dir.path());
        program.ports = m_ports;
        program.messages = &sink;
        program.endProcess = [] { QCoreApplication::exit(0); };
        program.shown = operate;
        return runLogger(program);
    }
    QStringList settingShown(const QStringList& arguments) {
        QStringList shown;
        const int code = run(arguments, [&shown](Frm_Varlin& window) {
            QTimer::singleShot(0, &window, [&shown, w = &window] {
                click(w, "Command2");
                for (const QByteArray& name : kSettingControls)
                    shown << QString::fromLatin1(name) + '=' +
                                 shownBy(control(control(w, "Frm_Savepath"), name.constData()));
                click(w, "Command3");
            });
        });
        return code == 0 ? shown : QStringList{QStringLiteral("exit %1").arg(code)};
    }

private Q_SLOTS:
    void init() {
        m_ports = [] { return QList<SerialDevice>{}; };
    }
    void initTestCase() {
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.filePath("state")));
        QLocale::setDefault(QLocale::c()); // the spreadsheet copy begins with a decimal point
        QVERIFY(QDir(m_dir.path()).mkpath("run2") && QDir(m_dir.path()).mkpath("data"));
        QVERIFY(writeFile("file", {}));
        init();
        m_plain = settingShown({});
        QCOMPARE(m_plain.size(), qsizetype(kSettingControls.size()));
    }

    void optionReachesItsSetting_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("changed");
        QTest::addColumn<QString>("config"); // @start.conf
        row("--port|COM3", "cmb1=COM3");
        row("--port|7", "cmb1=COM7");
        row("--baud|115200", "cmb2=115200");
        row("--folder|@run2", "Dir1=@run2");
        row("--stamp|date", "Check1=on");
        row("--stamp|ms", "Check1=on|Check3=on");
        row("--stamp|ms|--stamp|none", ""); // the last given counts
        row("--files|hourly", "Option1_1=on");
        row("--comment|bench 4, scale B", "Text1=bench 4, scale B");
        row("--ask|P", "chk_ask=on|txt_ask_command=P");
        row("--ask-end|lf", "cmb_ask_end=LF");
        row("--ask-every|2.5", "txt_ask_interval=2.5");
        row("--csv", "chk_csv=on");
        row("--csv-values|3", "cmb_csv_numbers=3");
        row("--csv-decimal|comma", "cmb_csv_dialect=; and ,");
        // An options file's lines stand where it is named, one option a line.
        row("--config|@start.conf|--baud|19200", "cmb2=19200", "--baud 4800\n");
        row("--baud|19200|--config=@start.conf", "cmb2=4800", "--baud 4800\n");
        row("--config|@start.conf", "Text1=bench 4, scale B", "  --comment  bench 4, scale B \n");
        row("--config|@start.conf", "chk_csv=on", "# --baud 1\n\n  # --stamp ms\n--csv\n");
        row("--config|@start.conf", "Check1=on|Check3=on|chk_csv=on", "--stamp=ms\r\n--csv\r\n");
        row("--config|@start.conf", "chk_csv=on", "--comment\n--csv\n");
        row("--config|@start.conf", "chk_csv=on", "\uFEFF--csv\n"); // an editor's BOM
    }
    // Each option shows in its own control of Setting, and in no other.
    void optionReachesItsSetting() {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, changed);
        QFETCH(QString, config);
        QVERIFY(writeFile("start.conf", config));
        QStringList expected = m_plain;
        for (const QString& change : here(changed)) {
            const QString name = change.section('=', 0, 0) + '=';
            const auto at = std::find_if(expected.begin(), expected.end(),
                                         [&](const QString& s) { return s.startsWith(name); });
            QVERIFY2(at != expected.end() && *at != change, qPrintable(change));
            *at = change;
        }
        QCOMPARE(settingShown(here(arguments)), expected);
    }

    void startPressesStartOnceTheWindowIsUp() {
        PtyInstrument com1;
        m_ports = portAt(1, com1.slavePath());
        for (const bool start : {true, false}) {
            QList<bool> enabled; // at show, once the event loop turned
            QCOMPARE(run(start ? QStringList{"--start"} : QStringList{},
                         [&enabled](Frm_Varlin& window) {
                             auto* startButton = control(&window, "Command1");
                             enabled << startButton->isEnabled();
                             QTimer::singleShot(0, &window, [&enabled, w = &window, startButton] {
                                 enabled << startButton->isEnabled();
                                 click(w, "Command4");
                                 click(w, "Command3");
                             });
                         }),
                     0);
            QCOMPARE(enabled, QList<bool>({true, !start}));
        }
    }

    // A device named by its path, not in the system's scan (so COM3 here), is what START opens
    // while Setting leaves the port as it showed it; a COMn picked there replaces it.
    void portByPathKeptUntilAnotherIsChosen_data() {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<int>("opened");
        QTest::newRow("port left as shown") << QString() << 3;
        QTest::newRow("COM2 chosen") << "COM2" << 2;
    }
    void portByPathKeptUntilAnotherIsChosen() {
        QFETCH(QString, chosen);
        QFETCH(int, opened);
        std::array<PtyInstrument, 3> ptys;
        m_ports = [&ptys] {
            return QList{nodeDevice(ptys[0].slavePath()), nodeDevice(ptys[1].slavePath())};
        };
        QList<bool> at4800;
        QString shown; // by Setting, then by panel 2 once START found it
        const auto operate = [&](Frm_Varlin& window) {
            click(&window, "Command2");
            auto* setting = control(&window, "Frm_Savepath");
            shown = control<QComboBox>(setting, "cmb1")->currentText();
            if (!chosen.isEmpty())
                control<QComboBox>(setting, "cmb1")->setCurrentText(chosen);
            click(setting, "Command1");
            click(&window, "Command1");
            std::ignore = QTest::qWaitFor([&] { // compared below
                at4800.clear();
                for (const PtyInstrument& pty : ptys)
                    at4800 << (pty.lineSpeed() == 4800);
                return at4800.contains(true);
            });
            shown += ' ' + control<StatusBar>(&window, "SB1")->panelText(2);
            click(&window, "Command4");
            click(&window, "Command3");
        };
        QCOMPARE(run({"--port", ptys[2].slavePath(), "--baud", "4800"},
                     [&](Frm_Varlin& window) {
                         QTimer::singleShot(0, &window, [&operate, w = &window] { operate(*w); });
                     }),
                 0);
        QCOMPARE(at4800, QList<bool>({opened == 1, opened == 2, opened == 3}));
        QCOMPARE(shown, QStringLiteral("COM3 COM%1/4800").arg(opened));
    }

    void refusedBeforeAnyWindow_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("says");
        QTest::addColumn<QString>("config");
        row("--speed|9600", "unknown option --speed");
        row("COM1", "COM1 is no option");
        row("--baud|0", "--baud takes");
        row("--ask-every|0.01", "--ask-every takes");
        row("--csv-values|9", "--csv-values takes");
        row("--stamp|sometimes", "--stamp takes");
        row("--files|weekly", "--files takes");
        row("--comment|two\nlines", "--comment takes");
        row("--baud", "--baud takes");
        row("--folder|@none", "--folder takes");
        row("--port|COM0", "--port takes");
        row("--port|COM12", "--port takes");
        row("--port|@file", "--port takes");
        row("--port|no-such-tty", "--port takes");
        row("--port|@none", "--port takes"); // a missing path outside /dev
        row("--config|@none", "--config @none: ");
        row("--config|@bad.conf", "--config @bad.conf line 2: ", "--comment ok\nport COM1\n");
        row("--headless|--csv-values|0", "--csv-values takes");
    }
    // One line naming the option, exit code 2, no display needed, nothing written.
    void refusedBeforeAnyWindow() {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, says);
        QFETCH(QString, config);
        if (!canStartPrograms())
            QSKIP("this process cannot start the program");
        QVERIFY(writeFile("bad.conf", config));
        const QString data = m_dir.filePath("data");
        const QString state = m_dir.filePath("refused-state");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        env.insert("XDG_STATE_HOME", state);
        QProcess program;
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(data);
        program.start(TESSALINE_PROGRAM_PATH, QStringList{"--folder", data} + here(arguments));
        QVERIFY(program.waitForFinished(60000));
        const QByteArray said = program.readAllStandardError();
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 2);
        QVERIFY2(said.startsWith("tessaline: " + here(says).constFirst().toUtf8()) &&
                     said.count('\n') == 1 && said.endsWith('\n'),
                 said.constData());
        QCOMPARE(program.readAllStandardOutput(), QByteArray());
        QCOMPARE(QDir(data).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
        QVERIFY(!QFileInfo::exists(state));
    }
};

QTEST_MAIN(TstStartOptions)
#include "tst_start_options.moc"
