// SPDX-License-Identifier: GPL-3.0-or-later
// The serial layer on the Win32 API, under Wine: COM1 is the logger's, joined by a null-modem
// cable (null_modem.cpp) to COM2, where the test plays the instrument.

#include "acquisition/core/clock.h"
#include "acquisition/serial/serial_errors.h"
#include "acquisition/serial/serial_port.h"
#include "cable.h"

#include <QSignalSpy>
#include <QTest>

class TstWinSerial : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void exchangesEveryByteBothWays();
    void portHeldOrAbsentIsRefused();
    void pulledDeviceKeepsWhatArrivedAndComesBack();
    void endOfRunTakesNothingMoreFromTheLine();

private:
    SystemClock m_clock;
};

void TstWinSerial::initTestCase() {
    if (cableControl().isEmpty())
        QSKIP("no null-modem cable on COM1 and COM2: run through tests/windows/wine-test.sh");
}

void TstWinSerial::exchangesEveryByteBothWays() {
    SerialPort port(m_clock);
    QCOMPARE(port.selectPort(1), SerialError::kNone);
    QCOMPARE(port.setLineSettings("9600,N,8,1"), SerialError::kNone);
    QCOMPARE(port.open(), SerialError::kNone);
    QCOMPARE(port.openedDevice().path, QStringLiteral("\\\\.\\COM1"));
    Instrument instrument;
    QVERIFY(instrument.isOpen());
    // A pty has neither error counters nor modem lines under Wine: no fault of the line.
    QSignalSpy events(&port, &CommPort::lineEvent);

    // Every byte value, NUL and the high ones included, in chunks the driver splits as it likes.
    QByteArray sent;
    for (int round = 0; round < 8; ++round)
        for (int value = 0; value < 256; ++value)
            sent += static_cast<char>((value + round) & 0xFF);
    QVERIFY(instrument.write(sent));
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesWaiting(), int16_t(sent.size()), 10'000);
    QByteArray got;
    for (char c = 0; port.readByte(c);)
        got += c;
    QCOMPARE(got, sent);
    QVERIFY(port.lastCharArrivalMs() != CommPort::kNoArrival);

    QCOMPARE(port.sendText("P\r\n"), SerialError::kNone);
    QCOMPARE(instrument.readAll(3), QByteArray("P\r\n"));
    QCOMPARE(events.count(), 0);
    QCOMPARE(port.discardReceived(), SerialError::kNone);
    QCOMPARE(port.close(), SerialError::kNone);
    QVERIFY(!port.isOpen());
}

void TstWinSerial::portHeldOrAbsentIsRefused() {
    SerialPort first(m_clock);
    QCOMPARE(first.open(), SerialError::kNone);
    SerialPort second(m_clock);
    // No device has that number.
    QCOMPARE(second.selectPort(200), SerialError::kNone);
    QCOMPARE(second.open(), SerialError::kInvalidPort);
    QCOMPARE(second.selectPort(1), SerialError::kNone);
    if (underWine())
        QSKIP("Wine opens a COM port twice; Windows grants it to one program at a time");
    QCOMPARE(second.open(), SerialError::kDeviceBusy);
}

void TstWinSerial::pulledDeviceKeepsWhatArrivedAndComesBack() {
    SerialPort port(m_clock);
    QCOMPARE(port.open(), SerialError::kNone);
    Instrument instrument;
    QSignalSpy removed(&port, &CommPort::deviceRemoved);
    QVERIFY(instrument.write("before\r"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(7));

    QVERIFY(pullDevice(true));
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 10'000);
    QVERIFY(!port.isOpen());
    QByteArray kept;
    for (char c = 0; port.readByte(c);)
        kept += c;
    QCOMPARE(kept, QByteArray("before\r"));
    // Absent, or (a pty hung up) present but dead: either way not opened.
    QVERIFY(port.reopenDevice() != SerialError::kNone);
    QVERIFY(!port.isOpen());

    QVERIFY(pullDevice(false));
    // Asked again and again, as the acquisition loop does; never once after it succeeded.
    QVERIFY(QTest::qWaitFor([&port] { return port.reopenDevice() == SerialError::kNone; }, 10'000));
    QVERIFY(instrument.write("after\r"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(6));
    QCOMPARE(removed.count(), 1);
}

// What the port holds at the end of a run is kept, and nothing more is taken: a byte read after
// it would only be dropped by the close.
void TstWinSerial::endOfRunTakesNothingMoreFromTheLine() {
    SerialPort port(m_clock);
    QCOMPARE(port.open(), SerialError::kNone);
    Instrument instrument;
    QVERIFY(instrument.write("before\r"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(7));
    port.collectReceived();
    QVERIFY(instrument.write("after\r"));
    QTest::qWait(500); // time enough for a port still reading to take it
    QByteArray got;
    for (char c = 0; port.readByte(c);)
        got += c;
    QCOMPARE(got, QByteArray("before\r"));
    QCOMPARE(port.close(), SerialError::kNone);
}

QTEST_GUILESS_MAIN(TstWinSerial)
#include "tst_win_serial.moc"
