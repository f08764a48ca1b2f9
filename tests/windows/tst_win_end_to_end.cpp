// SPDX-License-Identifier: GPL-3.0-or-later
// The logger as an operator meets it on Windows, under Wine: the real windows, loop, reader
// thread and serial device on COM1, the instrument on the cable's other end (COM2), real data
// files; only the clock is the test's, so file names and the header are known.

#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/platform_files.h"
#include "cable.h"
#include "ui/drive_list.h"
#include "ui/folder_list.h"
#include "ui/frm_savepath.h"
#include "ui/status_bar.h"
#include "window_on_com1.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

void click(const QWidget& window, const char* name) {
    QTest::mouseClick(control<QPushButton>(window, name), Qt::LeftButton);
}

QByteArray lines(const QList<QByteArray>& records) {
    QByteArray text;
    for (const QByteArray& record : records)
        text += record + "\r\n";
    return text;
}

} // namespace

class TstWinEndToEnd : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void operatorSessionOnCom1();
};

void TstWinEndToEnd::initTestCase() {
    if (cableControl().isEmpty())
        QSKIP("no null-modem cable on COM1 and COM2: run through tests/windows/wine-test.sh");
}

void TstWinEndToEnd::operatorSessionOnCom1() {
    QTemporaryDir data;
    QTemporaryDir spool;
    loadStartValues(encodePath(data.path()));
    WindowOnCom1 on(spool.path());
    Frm_Varlin& window = on.window;
    const ThreadedPort& port = on.port;
    window.show();
    const auto click = [&window](const char* name) { ::click(window, name); };
    const auto shown = [&on] { return on.shown(); };
    const auto title = [&window] { return control<QLabel>(window, "lbl_title")->text(); };
    const QString file = data.filePath(QStringLiteral("20261207.txt"));
    // The comment the settings window offers, taken when it closes.
    const QByteArray header = " Recive Data ,26/12/07,10:00:00,Morva\r\n";
    Instrument instrument;
    QVERIFY(instrument.isOpen());
    // The folder as Windows writes it.
    const QString folderShown = control<StatusBar>(window, "SB1")->panelText(1);
    QCOMPARE(folderShown, QDir::toNativeSeparators(data.path()));
    QVERIFY(folderShown.contains(u'\\') && !folderShown.contains(u'/'));

    // The settings window finds the data folder on its drive, and another drive's folders.
    click("Command2");
    const auto open = window.findChildren<Frm_Savepath*>();
    QCOMPARE(open.size(), 1);
    auto* drives = control<DriveList>(*open.first(), "Drive1");
    auto* folders = control<FolderList>(*open.first(), "Dir1");
    QCOMPARE(drives->currentDrive(), data.path().left(3)); // "C:/"
    QCOMPARE(drives->currentText(), QDir::toNativeSeparators(data.path().left(3)));
    QCOMPARE(folders->currentFolder(), data.path());
    QCOMPARE(folders->item(0)->text(), QDir::toNativeSeparators(data.path().left(3)));
    const int other = drives->findData(QStringLiteral("Z:/"));
    QVERIFY(other >= 0);
    drives->setCurrentIndex(other);
    QCOMPARE(folders->currentFolder(), QStringLiteral("Z:/"));
    drives->setCurrentIndex(drives->findData(data.path().left(3)));
    folders->setCurrentFolder(data.path());
    ::click(*open.first(), "Command1");
    QTRY_VERIFY(window.findChildren<Frm_Savepath*>().isEmpty());
    QCOMPARE(decodePath(varlin_def.SavePath), data.path());

    click("Command1");
    QTRY_VERIFY(port.isOpen());
    // Out of step at first: a partial line and whole ones are thrown away, the first record
    // after them shown but not written.
    QVERIFY(instrument.write("0.001 g\r\nST,+0000.000 g\r\nST,+0000.000 g\r\nST,+0012.345 g\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(shown(), QStringLiteral("ST,+0012.345 g"), 10'000);
    QList<QByteArray> records;
    for (int i = 0; i < 200; ++i)
        records << "ST,+" + QByteArray::number(i).rightJustified(4, '0') + ".000 g";
    QVERIFY(instrument.write(lines(records)));
    QTRY_COMPARE_WITH_TIMEOUT(shown(), QString::fromLatin1(records.last()), 20'000);
    QTRY_VERIFY(on.logger.store().written());

    // Send with CR LF.
    auto* sendBox = control<QLineEdit>(window, "txt_send");
    sendBox->setText(QStringLiteral("P"));
    auto* lineEnd = control<QComboBox>(window, "cmb_send_end");
    lineEnd->setCurrentIndex(lineEnd->findText(QStringLiteral("CR LF")));
    click("Command5");
    QCOMPARE(instrument.readAll(3), QByteArray("P\r\n"));

    // The adapter pulled out in the middle of a line, and put back: the line's two halves are
    // no record; nothing before or after is lost or written twice.
    QVERIFY(instrument.write("cut off mid-li"));
    QTest::qWait(200);
    QVERIFY(pullDevice(true));
    QTRY_COMPARE_WITH_TIMEOUT(title(), QStringLiteral("Com1 : Device removal detected"), 10'000);
    QVERIFY(pullDevice(false));
    QTRY_COMPARE_WITH_TIMEOUT(title(), QStringLiteral("Com1 : Device reconnected"), 15'000);
    QVERIFY(instrument.write("ne, its rest\r\nr4\r\nr5\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(shown(), QStringLiteral("r5"), 10'000);
    QTRY_VERIFY(on.logger.store().written());
    QFile written(file);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), header + lines(records) + lines({"r4", "r5"}));
    written.close();

    // STOP, then END: the port let go, the window gone, the program ended once.
    click("Command4");
    QTRY_VERIFY(!port.isOpen());
    QCOMPARE(on.ends, 0);
    click("Command3");
    QCOMPARE(on.ends, 1);
    QVERIFY(!port.isOpen());
    QVERIFY2(on.sink.messages.isEmpty(), qPrintable(on.sink.messages.join(u'|')));
}

QTEST_MAIN(TstWinEndToEnd)
#include "tst_win_end_to_end.moc"
