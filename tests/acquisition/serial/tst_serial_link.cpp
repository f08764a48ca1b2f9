// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/core/varlin_def.h"
#include "acquisition/serial/line_events.h"
#include "acquisition/serial/serial_errors.h"
#include "acquisition/serial/serial_link.h"
#include "acquisition/serial/serial_port.h"
#include "support/pty_instrument.h"
#include "support/test_kit.h"

#include <QFile>
#include <QSet>
#include <QTest>

class TstSerialLink : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { loadStartValues("/tmp"); }

    // --- Init_Comm
    void opensQuietlyWithDefaults();
    void refusedBaudShowsMessageAndStillOpens();
    void portWithoutDeviceShowsMessageAndStaysClosed_data();
    void portWithoutDeviceShowsMessageAndStaysClosed();
    void twoFailingStepsReportTheLater();
    void clonesAreToldApartBySocket();
    void aDeviceNamedByPathIsFoundByIt();

    // --- OnComm
    void lineErrorTable();
    void lineEventCaption_data();
    void lineEventCaption();

    // --- Send and the close-port rule
    void sendPutsExactBytesOnTheLine();
    void emptySendSendsNothing();
    void closePortRule();

private:
    FakeClock m_clock;
};

void TstSerialLink::opensQuietlyWithDefaults() {
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(3, instrument.slavePath()));
    RecordingSink sink;
    RecordingView view;
    SerialLink link(port, sink, view);
    varlin_def.PortNumber = 3;
    link.Init_Comm();
    QCOMPARE(sink.messages, QStringList());
    QVERIFY(port.isOpen());
    QCOMPARE(instrument.lineSpeed(), 9600u);
}

void TstSerialLink::refusedBaudShowsMessageAndStillOpens() {
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    RecordingSink sink;
    RecordingView view;
    SerialLink link(port, sink, view);
    varlin_def.BaudRate = "abc";
    link.Init_Comm();
    QCOMPARE(sink.messages, QStringList{QStringLiteral("Error : <COM1> 380")});
    QVERIFY(port.isOpen());
}

void TstSerialLink::portWithoutDeviceShowsMessageAndStaysClosed_data() {
    QTest::addColumn<bool>("runOnCom1First");
    QTest::addColumn<int16_t>("portNumber");
    QTest::newRow("port 7, none behind it") << false << int16_t(7);
    // Port 0 is what the settings window stores for COM10; COM1 must not open instead.
    QTest::newRow("port 0 after a run on COM1") << true << int16_t(0);
}

void TstSerialLink::portWithoutDeviceShowsMessageAndStaysClosed() {
    QFETCH(bool, runOnCom1First);
    QFETCH(int16_t, portNumber);
    PtyInstrument com1;
    SerialPort port(m_clock, portAt(1, com1.slavePath()));
    RecordingSink sink;
    RecordingView view;
    SerialLink link(port, sink, view);
    if (runOnCom1First) {
        link.Init_Comm();
        QVERIFY(port.isOpen());
        link.closePort();
    }
    varlin_def.PortNumber = portNumber;
    link.Init_Comm();
    QCOMPARE(sink.messages, QStringList{QStringLiteral("Error : <COM%1> 8002").arg(portNumber)});
    QVERIFY(!port.isOpen());
}

void TstSerialLink::twoFailingStepsReportTheLater() {
    FakeCommPort port;
    port.failSettings = SerialError::kInvalidValue;
    port.failOpen = SerialError::kDeviceBusy;
    RecordingSink sink;
    RecordingView view;
    SerialLink link(port, sink, view);
    link.Init_Comm();
    QCOMPARE(sink.messages, QStringList{QStringLiteral("Error : <COM1> 8010")});
    QCOMPARE(port.settings, QByteArray("9600,N,8,1"));
    QVERIFY(port.dtr && port.rts);
}

// Named by its path, the device is whatever port it is at START; one renumbered between the
// look and the open is not opened in its place.
void TstSerialLink::aDeviceNamedByPathIsFoundByIt() {
    PtyInstrument wanted, other;
    QList<SerialDevice> present{nodeDevice(other.slavePath()), nodeDevice(wanted.slavePath())};
    int scans = 0;
    QList<SerialDevice> afterLook; // the scans after the first, when set
    SerialPort port(m_clock,
                    [&] { return ++scans > 1 && !afterLook.isEmpty() ? afterLook : present; });
    RecordingSink sink;
    RecordingView view;
    SerialLink link(port, sink, view);
    varlin_def.PortPath = QFile::encodeName(wanted.slavePath());
    link.Init_Comm();
    QCOMPARE(varlin_def.PortNumber, int16_t(2));
    QVERIFY(port.isOpen());
    QCOMPARE(port.openedDevice().path, wanted.slavePath());
    link.closePort();

    scans = 0;
    afterLook = {nodeDevice(wanted.slavePath()), nodeDevice(other.slavePath())};
    link.Init_Comm();
    QVERIFY(!port.isOpen());
    QCOMPARE(sink.messages.last(), QStringLiteral("Error : <COM2> 8002"));
}

void TstSerialLink::clonesAreToldApartBySocket() {
    PtyInstrument balance, clone, moved;
    QList<SerialDevice> present{usbAdapter(balance.slavePath(), "A50285BI", "1-1:1.0"),
                                usbAdapter(clone.slavePath(), "A50285BI", "1-2:1.0")};
    SerialPort port(m_clock, [&present] { return present; });
    RecordingSink sink;
    RecordingView view;
    SerialLink link(port, sink, view);
    link.Init_Comm();
    QVERIFY(port.isOpen());
    QCOMPARE(view.titles, QStringList{"Com1 : Another adapter reports the same serial number; "
                                      "this one is known by its USB socket"});
    balance.closeMaster();
    QTRY_COMPARE(view.titles.size(), 2);
    QCOMPARE(view.titles.last(), QStringLiteral("Com1 : Device removal detected"));
    // The clone stays where it was: never opened, and not news.
    present.removeFirst();
    for (int i = 0; i < SerialLink::kTriesBeforeLookingElsewhere; ++i)
        QVERIFY(!link.reopen());
    QCOMPARE(view.titles.size(), 2);
    // The balance's adapter turns up in another socket: it is not known to be the balance.
    present << usbAdapter(moved.slavePath(), "A50285BI", "1-3:1.0");
    QVERIFY(!link.reopen());
    QVERIFY(!link.reopen());
    QCOMPARE(view.titles.mid(2), QStringList{"Com1 : The same kind of adapter is at another USB "
                                             "socket; STOP and START will use it"});
    QVERIFY(!port.isOpen());
}

void TstSerialLink::lineErrorTable() {
    QSet<int16_t> codes;
    QSet<QString> texts;
    for (const LineError& error : kLineErrors) {
        codes << error.code;
        texts << QString::fromLatin1(error.text);
        QCOMPARE(lineErrorText(error.code), QString::fromLatin1(error.text));
    }
    QSet<int16_t> expected;
    for (int16_t code = 1001; code <= 1011; ++code)
        expected << code;
    expected.remove(1005);
    QCOMPARE(codes, expected);
    QCOMPARE(texts.size(), qsizetype(kLineErrors.size()));
    QVERIFY(!texts.contains(QString()));
}

void TstSerialLink::lineEventCaption_data() {
    QTest::addColumn<int16_t>("portNumber");
    QTest::addColumn<int16_t>("chosenWhileOpen");
    QTest::addColumn<QList<int16_t>>("events");
    QTest::addColumn<QStringList>("captions");
    QTest::addColumn<int>("beeps");
    const QString parity = lineErrorText(LineEvent::kParity);
    const QString brk = lineErrorText(LineEvent::kBreak);
    QTest::newRow("parity on port 2")
        << int16_t(2) << int16_t(2) << QList<int16_t>{LineEvent::kParity}
        << QStringList{"Com2 : Parity error detected"} << 1;
    // A settings window closed while receiving changes PortNumber; the error is the open port's.
    QTest::newRow("COM2 chosen while COM1 is open")
        << int16_t(1) << int16_t(2) << QList<int16_t>{LineEvent::kParity}
        << QStringList{"Com1 : Parity error detected"} << 1;
    QTest::newRow("port 10: no blank, no leading zero")
        << int16_t(10) << int16_t(10) << QList<int16_t>{LineEvent::kBreak}
        << QStringList{"Com10 : " + brk} << 1;
    QTest::newRow("one beep per error")
        << int16_t(1) << int16_t(1)
        << QList<int16_t>{LineEvent::kBreak, LineEvent::kBreak, LineEvent::kParity}
        << QStringList{"Com1 : " + brk, "Com1 : " + brk, "Com1 : " + parity} << 3;
    QTest::newRow("1005 empties the caption, no beep")
        << int16_t(2) << int16_t(2) << QList<int16_t>{LineEvent::kParity, 1005}
        << QStringList{"Com2 : " + parity, QString()} << 1;
    QTest::newRow("line-state change empties the caption, no beep")
        << int16_t(2) << int16_t(2) << QList<int16_t>{LineEvent::kParity, LineEvent::kCtsChanged}
        << QStringList{"Com2 : " + parity, QString()} << 1;
    QTest::newRow("unknown code is no error")
        << int16_t(2) << int16_t(2) << QList<int16_t>{LineEvent::kRingChanged, 1012}
        << QStringList{QString(), QString()} << 0;
}

void TstSerialLink::lineEventCaption() {
    QFETCH(int16_t, portNumber);
    QFETCH(int16_t, chosenWhileOpen);
    QFETCH(QList<int16_t>, events);
    QFETCH(QStringList, captions);
    QFETCH(int, beeps);
    FakeCommPort port;
    RecordingSink sink;
    RecordingView view;
    SerialLink link(port, sink, view);
    varlin_def.PortNumber = portNumber;
    link.Init_Comm();
    QVERIFY(port.isOpen());
    varlin_def.PortNumber = chosenWhileOpen;
    for (int16_t code : events)
        port.raise(code);
    QCOMPARE(view.titles, captions);
    QCOMPARE(sink.beeps, beeps);
}

void TstSerialLink::sendPutsExactBytesOnTheLine() {
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    RecordingSink sink;
    RecordingView view;
    SerialLink link(port, sink, view);
    link.Init_Comm();
    link.send("ABC");
    QCOMPARE(instrument.read(3), QByteArray("ABC"));
    QCOMPARE(instrument.readFor(100), QByteArray()); // no terminator follows
}

void TstSerialLink::emptySendSendsNothing() {
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    RecordingSink sink;
    RecordingView view;
    SerialLink link(port, sink, view);
    link.Init_Comm();
    QVERIFY(port.isOpen());
    link.send("");
    QCOMPARE(instrument.readFor(150), QByteArray());
}

void TstSerialLink::closePortRule() {
    FakeCommPort port;
    RecordingSink sink;
    RecordingView view;
    SerialLink link(port, sink, view);
    link.closePort();
    QCOMPARE(port.closes, 0); // a closed port is not touched
    link.Init_Comm();
    link.closePort();
    QCOMPARE(port.closes, 1);
    QVERIFY(!port.isOpen());
}

QTEST_GUILESS_MAIN(TstSerialLink)
#include "tst_serial_link.moc"
