// SPDX-License-Identifier: GPL-3.0-or-later
// The Linux serial device on a pseudo-terminal: times noted by its reading thread as the bytes
// come, whatever the owner's thread is doing; the owner woken at most every kReadyGapMs; the
// last bytes before the device goes; a read buffer that stays bounded; a send longer than the
// driver takes at once.

#include "acquisition/platform/linux_serial_port.h"
#include "support/pty_instrument.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// A clock the reading thread may read while the test moves it.
struct SteppedClock {
    std::atomic<qint64> nowMs{1'000'000};
};

// Waits without running the event loop: only the device's own thread works meanwhile.
bool waitForBytes(const LinuxSerialPort& port, qint64 count, int timeoutMs = 2000) {
    QElapsedTimer timer;
    timer.start();
    while (port.bytesAvailable() < count && timer.elapsed() < timeoutMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return port.bytesAvailable() == count;
}

} // namespace

class TstLinuxSerialPort : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void timesAreNotedAsBytesCome();
    void ownerIsWokenAtMostEveryGap();
    void lastBytesComeBeforeTheRemoval();
    void readBufferStaysBounded();
    void longSendGoesOutWhole();
};

void TstLinuxSerialPort::timesAreNotedAsBytesCome() {
    PtyInstrument instrument;
    SteppedClock clock;
    LinuxSerialPort port;
    port.setArrivalClock([&clock] { return clock.nowMs.load(); });
    port.setPortName(instrument.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    // Two chunks a minute apart by the clock, taken by the owner only afterwards, in one go.
    QVERIFY(instrument.write("ab"));
    QVERIFY(waitForBytes(port, 2));
    clock.nowMs += 60'000;
    QVERIFY(instrument.write("cde"));
    QVERIFY(waitForBytes(port, 5));
    clock.nowMs += 60'000;
    const std::vector<LinuxSerialPort::Arrival> arrivals = port.takeArrivals();
    QCOMPARE(arrivals.size(), size_t(2));
    QCOMPARE(arrivals[0].bytes, 2);
    QCOMPARE(arrivals[0].atMs, 1'000'000);
    QCOMPARE(arrivals[1].bytes, 3);
    QCOMPARE(arrivals[1].atMs, 1'060'000);
    char bytes[8] = {};
    QCOMPARE(port.read(bytes, sizeof bytes), 5);
    QCOMPARE(QByteArray(bytes, 5), QByteArray("abcde"));
    QVERIFY(port.takeArrivals().empty());
    // A discard drops the bytes and their times together.
    QVERIFY(instrument.write("xyz"));
    QVERIFY(waitForBytes(port, 3));
    QVERIFY(port.clear(LinuxSerialPort::Input));
    QCOMPARE(port.bytesAvailable(), 0);
    QVERIFY(port.takeArrivals().empty());
}

void TstLinuxSerialPort::ownerIsWokenAtMostEveryGap() {
    PtyInstrument instrument;
    LinuxSerialPort port;
    port.setPortName(instrument.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QByteArray received;
    int wakes = 0;
    connect(&port, &LinuxSerialPort::readyRead, this, [&] {
        ++wakes;
        received += port.read(port.bytesAvailable());
    });
    // A UART's trickle: a few bytes every 2 ms for 300 ms.
    QByteArray sent;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; timer.elapsed() < 300; ++i) {
        const QByteArray piece = QByteArray::number(i) + ';';
        QVERIFY(instrument.write(piece));
        sent += piece;
        QTest::qWait(2);
    }
    const qint64 ms = timer.elapsed();
    QTRY_COMPARE(received, sent);
    QVERIFY2(wakes <= ms / LinuxSerialPort::kReadyGapMs + 2, qPrintable(QString::number(wakes)));
    // A quiet line gets its first bytes at once, not a gap later.
    QTest::qWait(3 * LinuxSerialPort::kReadyGapMs);
    QSignalSpy ready(&port, &LinuxSerialPort::readyRead);
    QElapsedTimer heard;
    heard.start();
    QVERIFY(instrument.write("!"));
    QVERIFY(ready.wait(1000));
    QVERIFY2(heard.elapsed() < LinuxSerialPort::kReadyGapMs,
             qPrintable(QString::number(heard.elapsed())));
}

void TstLinuxSerialPort::lastBytesComeBeforeTheRemoval() {
    PtyInstrument instrument;
    LinuxSerialPort port;
    port.setPortName(instrument.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QStringList heard;
    connect(&port, &LinuxSerialPort::readyRead, this,
            [&] { heard << QString::fromLatin1(port.read(port.bytesAvailable())); });
    connect(&port, &LinuxSerialPort::errorOccurred, this,
            [&](LinuxSerialPort::SerialPortError error) {
                heard << QStringLiteral("error %1").arg(error);
            });
    QSignalSpy ready(&port, &LinuxSerialPort::readyRead);
    QVERIFY(instrument.write("a"));
    QVERIFY(ready.wait(1000));
    // Within the gap after it: held back, and the device goes before the gap ends. A pty drops
    // what its reader has not read at the hang-up, so they are read first.
    QVERIFY(instrument.write("12.5\r\n"));
    QVERIFY(waitForBytes(port, 6));
    instrument.closeMaster();
    QTRY_VERIFY(heard.size() >= 3);
    QTest::qWait(100); // and the removal is told once
    QCOMPARE(heard, QStringList({QStringLiteral("a"), QStringLiteral("12.5\r\n"),
                                 QStringLiteral("error %1").arg(LinuxSerialPort::ResourceError)}));
    port.close();
    QVERIFY(!port.isOpen());
}

void TstLinuxSerialPort::readBufferStaysBounded() {
    PtyInstrument instrument;
    LinuxSerialPort port;
    port.setReadBufferSize(16);
    port.setPortName(instrument.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QByteArray sent;
    for (int i = 0; i < 100; ++i)
        sent += char('A' + i % 26);
    QVERIFY(instrument.write(sent));
    QByteArray received;
    QElapsedTimer timer;
    timer.start();
    while (received.size() < sent.size() && timer.elapsed() < 3000) {
        QVERIFY(port.bytesAvailable() <= 16);
        received += port.read(5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    QCOMPARE(received, sent);
    // The times cover exactly the bytes read.
    qint64 noted = 0;
    for (const LinuxSerialPort::Arrival& arrival : port.takeArrivals())
        noted += arrival.bytes;
    QCOMPARE(noted, sent.size());
}

void TstLinuxSerialPort::longSendGoesOutWhole() {
    PtyInstrument instrument;
    LinuxSerialPort port;
    port.setPortName(instrument.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    // More than the pty holds, so the device finishes it as the driver drains.
    QByteArray text;
    for (int i = 0; text.size() < 200'000; ++i)
        text += QByteArray::number(i) + ',';
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(port.write(text), text.size());
    QVERIFY(port.flush());
    QVERIFY2(timer.elapsed() < 100, "a send waited for the line");
    QCOMPARE(instrument.read(text.size(), 5000), text);
}

QTEST_GUILESS_MAIN(TstLinuxSerialPort)
#include "tst_linux_serial_port.moc"
