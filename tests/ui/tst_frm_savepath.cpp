// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/platform_files.h"
#include "support/window_kit.h"
#include "ui/drive_list.h"
#include "ui/folder_list.h"
#include "ui/frm_savepath.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <tuple>

namespace {

// The settings the window may change; anything else it must leave alone.
auto settings() {
    const VarlinDef& v = varlin_def;
    return std::tuple(v.SavePath, v.PortNumber, v.BaudRate, v.StampDateTime, v.StampMillis,
                      v.FileComment, v.HourlyFiles, v.DataFilePath);
}

} // namespace

class TstFrmSavepath : public QObject {
    Q_OBJECT

    QMap<int, QString> panels; // the status bar texts the window sent
    QPointer<Frm_Savepath> window;
    QTemporaryDir tree;

    bool open() {
        window = new Frm_Savepath;
        connect(window, &Frm_Savepath::panelTextChanged, this,
                [this](int panel, const QString& text) { panels[panel] = text; });
        window->show();
        return QTest::qWaitForWindowExposed(window);
    }
    template <typename W> W* get(const char* name) { return control<W>(window, name); }
    bool clickClose() {
        QTest::mouseClick(get<QPushButton>("Command1"), Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return window.isNull();
    }
    QString treePath(const char* sub) const { return QDir(tree.path()).filePath(sub); }
    QListWidgetItem* entry(const QString& text) {
        const auto found = get<FolderList>("Dir1")->findItems(text, Qt::MatchExactly);
        return found.isEmpty() ? nullptr : found.last();
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(tree.isValid());
        QVERIFY(QDir(tree.path()).mkpath(QStringLiteral("alpha/beta")));
        QVERIFY(QDir(tree.path()).mkpath(QStringLiteral("gamma")));
    }
    void init() {
        loadStartValues(QFile::encodeName(QCoreApplication::applicationDirPath()));
        panels.clear();
    }
    void cleanup() { delete window; }

    // --- The first opening after start-up
    void firstOpeningShowsStartValues() {
        QVERIFY(open());
        QCOMPARE(get<FolderList>("Dir1")->currentFolder(), QCoreApplication::applicationDirPath());
        QCOMPARE(get<DriveList>("Drive1")->currentDrive(),
                 DriveList::driveOf(QCoreApplication::applicationDirPath(),
                                    DriveList::saveableDrives()));
        QCOMPARE(get<QComboBox>("cmb1")->currentText(), QStringLiteral("COM1"));
        QCOMPARE(get<QComboBox>("cmb2")->currentText(), QStringLiteral("9600"));
        QVERIFY(!get<QCheckBox>("Check1")->isChecked());
        QVERIFY(!get<QCheckBox>("Check3")->isChecked());
        QVERIFY(get<QCheckBox>("Check3")->isEnabled());
        QCOMPARE(get<QLineEdit>("Text1")->text(), QStringLiteral("Morva"));
        QVERIFY(get<QRadioButton>("Option1_0")->isChecked());
        QVERIFY(!get<QRadioButton>("Option1_1")->isChecked());
    }
    void windowIsAFixedToolWindow() {
        QVERIFY(open());
        QCOMPARE(window->windowTitle(), QStringLiteral("Setting"));
        // 245, the frame for asking the instrument and the one for the spreadsheet copy
        QCOMPARE(window->size(), QSize(416, 406));
        QCOMPARE(window->minimumSize(), window->maximumSize());
        QCOMPARE(window->windowType(), Qt::Tool);
        QVERIFY(!(window->windowFlags() &
                  (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QVERIFY(window->windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(!window->windowIcon().pixmap(32, 32).isNull());
    }
    void controlsSitInTheirContainers_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QRect>("pixels");
        const QString win = QStringLiteral("Frm_Savepath");
        QTest::newRow("Check3") << "Check3"
                                << "Frame1" << QRect(112, 24, 81, 17);
        QTest::newRow("cmb2") << "cmb2"
                              << "Frame2" << QRect(112, 24, 89, 20);
        QTest::newRow("Text1") << "Text1"
                               << "Frame3" << QRect(32, 24, 169, 18);
        QTest::newRow("Option1_1") << "Option1_1"
                                   << "frm4" << QRect(96, 24, 57, 17);
        QTest::newRow("frm4") << "frm4" << win << QRect(8, 192, 209, 49);
        QTest::newRow("Dir1") << "Dir1" << win << QRect(232, 48, 177, 132);
        QTest::newRow("Command1") << "Command1" << win << QRect(288, 208, 105, 25);
        QTest::newRow("frm_csv, below frm_ask") << "frm_csv" << win << QRect(8, 316, 400, 82);
    }
    void controlsSitInTheirContainers() {
        QFETCH(QString, name);
        QFETCH(QString, container);
        QFETCH(QRect, pixels);
        QVERIFY(open());
        auto* control = get<QWidget>(name.toLatin1().constData());
        QCOMPARE(control->parentWidget()->objectName(), container);
        QCOMPARE(control->geometry(), pixels);
    }
    // What cannot be asked keeps the window open, applies nothing, and says why at the field.
    void askingIsTakenAtCloseOrRefused_data() {
        QTest::addColumn<bool>("ask");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("interval");
        QTest::addColumn<qint64>("storedMs"); // -1: refused
        QTest::addColumn<QString>("marked");
        QTest::newRow("a tenth") << true << "P"
                                 << "0.1" << qint64(100) << "";
        QTest::newRow("a day") << true << "SI"
                               << "86400" << qint64(86'400'000) << "";
        QTest::newRow("a decimal comma") << true << "PRT"
                                         << " 2,5 " << qint64(2500) << "";
        QTest::newRow("zero") << true << "P"
                              << "0" << qint64(-1) << "txt_ask_interval";
        QTest::newRow("negative") << true << "P"
                                  << "-10" << qint64(-1) << "txt_ask_interval";
        QTest::newRow("text") << true << "P"
                              << "ten" << qint64(-1) << "txt_ask_interval";
        QTest::newRow("empty") << false << ""
                               << "" << qint64(-1) << "txt_ask_interval";
        QTest::newRow("too fast") << true << "P"
                                  << "0.05" << qint64(-1) << "txt_ask_interval";
        QTest::newRow("over a day") << true << "P"
                                    << "86401" << qint64(-1) << "txt_ask_interval";
        QTest::newRow("not a number") << true << "P"
                                      << "nan" << qint64(-1) << "txt_ask_interval";
        QTest::newRow("endless") << true << "P"
                                 << "inf" << qint64(-1) << "txt_ask_interval";
        QTest::newRow("nothing to ask") << true << " "
                                        << "10" << qint64(-1) << "txt_ask_command";
    }
    void askingIsTakenAtCloseOrRefused() {
        QFETCH(bool, ask);
        QFETCH(QString, command);
        QFETCH(QString, interval);
        QFETCH(qint64, storedMs);
        QFETCH(QString, marked);
        QVERIFY(open());
        QCOMPARE(get<QLineEdit>("txt_ask_interval")->text(), QStringLiteral("10"));
        QCOMPARE(get<QComboBox>("cmb_ask_end")->currentText(), QStringLiteral("CR LF"));
        get<QCheckBox>("chk_ask")->setChecked(ask);
        get<QLineEdit>("txt_ask_command")->setText(command);
        get<QLineEdit>("txt_ask_interval")->setText(interval);
        get<QComboBox>("cmb_ask_end")->setCurrentIndex(1); // CR
        get<QRadioButton>("Option1_1")->setChecked(true);
        const bool closed = clickClose();
        if (storedMs < 0) {
            QVERIFY(!closed);
            QVERIFY(!get<QLabel>("lbl_ask_word")->text().isEmpty());
            QVERIFY(!get<QLineEdit>(marked.toLatin1().constData())->styleSheet().isEmpty());
            QCOMPARE(varlin_def.HourlyFiles, kFalse); // nothing else was applied either
            QCOMPARE(varlin_def.AskIntervalMs, qint64(10'000));
            QVERIFY(panels.isEmpty());
            return;
        }
        QVERIFY(closed);
        QCOMPARE(varlin_def.AskInstrument, kTrue);
        QCOMPARE(varlin_def.AskCommand, command.toLatin1());
        QCOMPARE(varlin_def.AskLineEnd, QByteArray("\r"));
        QCOMPARE(varlin_def.AskIntervalMs, storedMs);
        QVERIFY(open()); // and shown as stored the next time
        QVERIFY(get<QCheckBox>("chk_ask")->isChecked());
        QCOMPARE(get<QComboBox>("cmb_ask_end")->currentText(), QStringLiteral("CR"));
        QCOMPARE(get<QLineEdit>("txt_ask_interval")->text(),
                 QString::number(static_cast<double>(storedMs) / 1000.0, 'g', 10));
    }

    // --- The spreadsheet copy: off, one value a row, the dialect of the system's decimal mark
    void csvStartsInTheLocalesDialect_data() {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("dialect");
        QTest::newRow("English") << QLocale(QLocale::English) << ", and .";
        QTest::newRow("German") << QLocale(QLocale::German) << "; and ,";
    }
    void csvStartsInTheLocalesDialect() {
        QFETCH(QLocale, locale);
        const QLocale before;
        const auto back = qScopeGuard([&before] { QLocale::setDefault(before); });
        QLocale::setDefault(locale);
        loadStartValues(executableFolder());
        QVERIFY(open());
        QCOMPARE(get<QGroupBox>("frm_csv")->title(), QStringLiteral("Spreadsheet copy (CSV)"));
        QVERIFY(!get<QCheckBox>("chk_csv")->isChecked());
        QCOMPARE(get<QComboBox>("cmb_csv_numbers")->currentText(), QStringLiteral("1"));
        QTEST(get<QComboBox>("cmb_csv_dialect")->currentText(), "dialect");
    }
    // Values per row from 1 to 8, or Close says why in the frame and applies nothing.
    void csvIsTakenAtCloseOrRefused_data() {
        QTest::addColumn<QString>("numbers");
        QTest::addColumn<int>("stored"); // 0: refused
        QTest::newRow("eight") << " 8 " << 8;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("nine") << "9" << 0;
        QTest::newRow("a word") << "two" << 0;
    }
    void csvIsTakenAtCloseOrRefused() {
        QFETCH(QString, numbers);
        QFETCH(int, stored);
        const int16_t comma = varlin_def.CsvDecimalComma == kTrue ? kFalse : kTrue; // not the start
        QVERIFY(open());
        get<QCheckBox>("chk_csv")->setChecked(true);
        get<QComboBox>("cmb_csv_numbers")->setEditText(numbers);
        get<QComboBox>("cmb_csv_dialect")->setCurrentIndex(comma == kTrue ? 1 : 0);
        if (stored == 0) {
            QVERIFY(!clickClose());
            QVERIFY(!get<QLabel>("lbl_csv_word")->text().isEmpty());
            QVERIFY(!get<QComboBox>("cmb_csv_numbers")->lineEdit()->styleSheet().isEmpty());
            QCOMPARE(varlin_def.CsvCopy, kFalse);
            QVERIFY(panels.isEmpty());
            return;
        }
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.CsvCopy, kTrue);
        QCOMPARE(int(varlin_def.CsvNumbers), stored);
        QCOMPARE(varlin_def.CsvDecimalComma, comma);
        QVERIFY(open()); // and shown as stored the next time
        QVERIFY(get<QCheckBox>("chk_csv")->isChecked());
        QCOMPARE(get<QComboBox>("cmb_csv_numbers")->currentText(), QString::number(stored));
        QCOMPARE(get<QComboBox>("cmb_csv_dialect")->currentIndex(), comma == kTrue ? 1 : 0);
    }

    void tabOrderStartsAtDrive1() {
        QVERIFY(open());
        QVERIFY(QTest::qWaitForWindowActive(window));
        const QString order = QStringLiteral(
            "Drive1 Dir1 Command1 cmb1 Check3 cmb2 Text1 Check1 Option1_0 chk_ask txt_ask_command "
            "cmb_ask_end txt_ask_interval chk_csv cmb_csv_numbers cmb_csv_dialect Drive1");
        for (const QString& name : order.split(u' ')) {
            QCOMPARE(QApplication::focusWidget(), get<QWidget>(name.toLatin1().constData()));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
    }

    // --- "Close" applies, the close box and keys do not
    void closeWithoutChangeStoresMorvaAndRefreshesPanels() {
        QVERIFY(open());
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.FileComment, QByteArray("Morva"));
        QCOMPARE(varlin_def.SavePath, executableFolder());
        QCOMPARE(panels.value(1, QStringLiteral("unset")), QString());
        QCOMPARE(panels.value(2), QStringLiteral("COM1/9600"));
    }
    void clearedCommentIsStoredEmptyAndShowsMorvaAgain() {
        QVERIFY(open());
        get<QLineEdit>("Text1")->clear();
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.FileComment, QByteArray(""));
        QVERIFY(open());
        QCOMPARE(get<QLineEdit>("Text1")->text(), QStringLiteral("Morva"));
    }
    void closeBoxAndKeysApplyNothing() {
        const auto before = settings();
        QVERIFY(open());
        get<QComboBox>("cmb1")->setEditText(QStringLiteral("COM4"));
        get<QLineEdit>("Text1")->setText(QStringLiteral("edited"));
        get<QRadioButton>("Option1_1")->setChecked(true);
        QTest::keyClick(window, Qt::Key_Escape);
        QTest::keyClick(get<QPushButton>("Command1"), Qt::Key_Return);
        QVERIFY(window->isVisible());
        window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(window.isNull());
        QVERIFY(settings() == before);
        QVERIFY(panels.isEmpty());
    }

    // --- Port and baud rate
    void portComesFromTheLastCharacter_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("stored");
        QTest::newRow("COM7") << "COM7" << 7;
        QTest::newRow("COM12") << "COM12" << 2;
        QTest::newRow("COM10") << "COM10" << 0;
        QTest::newRow("empty keeps 3") << "" << 3;
        QTest::newRow("COM keeps 3") << "COM" << 3;
        QTest::newRow("trailing blank keeps 3") << "COM1 " << 3;
    }
    void portComesFromTheLastCharacter() {
        QFETCH(QString, typed);
        QFETCH(int, stored);
        varlin_def.PortNumber = 3;
        QVERIFY(open());
        get<QComboBox>("cmb1")->setEditText(typed);
        get<QComboBox>("cmb2")->setEditText(QStringLiteral("4800"));
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.PortNumber, stored);
        QCOMPARE(varlin_def.BaudRate, QByteArray("4800"));
        QCOMPARE(panels.value(2), QStringLiteral("COM%1/4800").arg(stored));
    }
    void typedBaudIsStoredAndShownNextTime() {
        QVERIFY(open());
        get<QComboBox>("cmb2")->setEditText(QStringLiteral("19200"));
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.BaudRate, QByteArray("19200"));
        QVERIFY(open());
        QCOMPARE(get<QComboBox>("cmb2")->currentText(), QStringLiteral("19200"));
        QCOMPARE(get<QComboBox>("cmb2")->findText(QStringLiteral("19200")), -1);
    }
    void everyOpeningListsFivePortsAndFourRates() {
        for (int i = 0; i < 3; ++i) {
            QVERIFY(open());
            auto* ports = get<QComboBox>("cmb1");
            auto* rates = get<QComboBox>("cmb2");
            QCOMPARE(ports->count(), 5);
            QCOMPARE(ports->itemText(4), QStringLiteral("COM5"));
            QCOMPARE(rates->count(), 4);
            QCOMPARE(rates->itemText(2), QStringLiteral("14400"));
            QVERIFY(clickClose());
        }
    }

    // --- Stamps and file interval
    void loadTicksStampsAndLeavesMilliSecondEnabled_data() {
        QTest::addColumn<int16_t>("dateTime");
        QTest::addColumn<int16_t>("millis");
        QTest::newRow("both") << kTrue << kTrue;
        QTest::newRow("date/time only") << kTrue << kFalse;
        QTest::newRow("millis only") << kFalse << kTrue;
    }
    void loadTicksStampsAndLeavesMilliSecondEnabled() {
        QFETCH(int16_t, dateTime);
        QFETCH(int16_t, millis);
        varlin_def.StampDateTime = dateTime;
        varlin_def.StampMillis = millis;
        QVERIFY(open());
        QCOMPARE(get<QCheckBox>("Check1")->isChecked(), dateTime == kTrue);
        QCOMPARE(get<QCheckBox>("Check3")->isChecked(), millis == kTrue);
        QVERIFY(get<QCheckBox>("Check3")->isEnabled());
    }
    void untickingDateTimeGreysMilliSecond() {
        varlin_def.StampDateTime = kTrue;
        varlin_def.StampMillis = kTrue;
        QVERIFY(open());
        auto* check3 = get<QCheckBox>("Check3");
        QTest::mouseClick(get<QCheckBox>("Check1"), Qt::LeftButton);
        QVERIFY(!check3->isChecked());
        QVERIFY(!check3->isEnabled());
        QTest::mouseClick(get<QCheckBox>("Check1"), Qt::LeftButton);
        QVERIFY(!check3->isChecked());
        QVERIFY(check3->isEnabled());
    }
    void milliSecondAloneIsStored() {
        QVERIFY(open());
        QTest::mouseClick(get<QCheckBox>("Check3"), Qt::LeftButton);
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.StampMillis, kTrue);
        QCOMPARE(varlin_def.StampDateTime, kFalse);
    }
    void hourAtCloseMeansHourlyFiles() {
        QVERIFY(open());
        QTest::mouseClick(get<QRadioButton>("Option1_1"), Qt::LeftButton);
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.HourlyFiles, kTrue);
        QVERIFY(open());
        QVERIFY(get<QRadioButton>("Option1_1")->isChecked());
    }

    // --- Drive and folder
    void driveIsTheLongestMountHoldingThePath() {
        const QStringList mounts{"/", "/srv", "/srv/data"};
        QCOMPARE(DriveList::driveOf("/srv/data/logs", mounts), QStringLiteral("/srv/data"));
        QCOMPARE(DriveList::driveOf("/srvdata", mounts), QStringLiteral("/"));
        QCOMPARE(DriveList::driveOf("/srv", mounts), QStringLiteral("/srv"));
        QVERIFY(DriveList::saveableDrives().contains(QStringLiteral("/")));
        QVERIFY(!DriveList::saveableDrives().contains(QStringLiteral("/proc")));
    }
    void choosingADriveMovesDir1ToItsRoot() {
        varlin_def.SavePath = QFile::encodeName(treePath("alpha/beta"));
        QVERIFY(open());
        auto* drives = get<DriveList>("Drive1");
        drives->setDrives({QStringLiteral("/"), treePath("gamma")});
        drives->setCurrentIndex(drives->findText(treePath("gamma")));
        QCOMPARE(get<FolderList>("Dir1")->currentFolder(), treePath("gamma"));
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.SavePath, QFile::encodeName(treePath("gamma")));
    }
    void openedFolderIsSavePathAfterClose() {
        varlin_def.SavePath = QFile::encodeName(tree.path());
        QVERIFY(open());
        auto* dir1 = get<FolderList>("Dir1");
        // A real double-click: the first click of the pair, then the double-click event.
        const QPoint alpha = dir1->visualItemRect(entry(QStringLiteral("alpha"))).center();
        QTest::mouseClick(dir1->viewport(), Qt::LeftButton, {}, alpha);
        QTest::mouseDClick(dir1->viewport(), Qt::LeftButton, {}, alpha);
        QCOMPARE(dir1->currentFolder(), treePath("alpha"));
        dir1->setCurrentItem(entry(QStringLiteral("beta")));
        QTest::keyClick(dir1, Qt::Key_Return);
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.SavePath, QFile::encodeName(treePath("alpha/beta")));
    }
    void highlightAloneChangesNothing() {
        varlin_def.SavePath = QFile::encodeName(tree.path());
        QVERIFY(open());
        auto* dir1 = get<FolderList>("Dir1");
        QTest::mouseClick(dir1->viewport(), Qt::LeftButton, {},
                          dir1->visualItemRect(entry(QStringLiteral("gamma"))).center());
        QCOMPARE(dir1->currentItem()->text(), QStringLiteral("gamma"));
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.SavePath, QFile::encodeName(tree.path()));
    }
    void missingSavePathIsShownByItsParentAndKept() {
        const QByteArray gone = QFile::encodeName(treePath("alpha/gone/deeper"));
        varlin_def.SavePath = gone;
        QVERIFY(open());
        QCOMPARE(get<FolderList>("Dir1")->currentFolder(), treePath("alpha"));
        QVERIFY(entry(QStringLiteral("beta")));
        get<QLineEdit>("Text1")->setText(QStringLiteral("only the comment"));
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.SavePath, gone);
        QCOMPARE(varlin_def.FileComment, QByteArray("only the comment"));
    }
    void everyWalkUpEndsWithoutTheCurrentFolder() {
        FolderList list;
        for (const char* path : {"", "alpha/beta", "/../.."}) {
            list.setCurrentFolder(QString::fromLatin1(path));
            QCOMPARE(list.currentFolder(), QStringLiteral("/"));
        }
    }
    void opensWhileTheCurrentFolderIsGone() {
        // Started from a folder on a stick that was then pulled.
        const QString before = QDir::currentPath();
        const auto back = qScopeGuard([&before] { QDir::setCurrent(before); });
        QTemporaryDir stick;
        QVERIFY(QDir::setCurrent(stick.path()));
        QVERIFY(stick.remove());
        varlin_def.SavePath = QFile::encodeName(tree.path());
        QVERIFY(open());
        auto* dir1 = get<FolderList>("Dir1");
        QCOMPARE(dir1->currentFolder(), tree.path());
        dir1->setCurrentItem(entry(QStringLiteral("alpha")));
        QTest::keyClick(dir1, Qt::Key_Return);
        QVERIFY(clickClose());
        QCOMPARE(varlin_def.SavePath, QFile::encodeName(treePath("alpha")));
    }
};

QTEST_MAIN(TstFrmSavepath)
#include "tst_frm_savepath.moc"
