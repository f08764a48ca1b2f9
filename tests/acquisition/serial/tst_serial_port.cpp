// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/platform/linux/platform_linux_ports.h"
#include "acquisition/serial/line_events.h"
#include "acquisition/serial/serial_errors.h"
#include "acquisition/serial/serial_port.h"
#include "acquisition/serial/threaded_port.h"
#include "support/pty_instrument.h"
#include "support/test_kit.h"

#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

namespace {
// 14400 goes to the driver through termios2; the real-driver rig proves it on the kernel's own
// UART and FTDI drivers.
constexpr const char* kNoCustomRates =
    "custom rates cannot reach a terminal here (user-mode emulation has no termios2)";

QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;

void recordWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtDebugMsg && type != QtInfoMsg)
        g_warnings << text;
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}

// Counts the opens of a device node from now on, by anyone, however brief.
class OpenWatch {
public:
    explicit OpenWatch(const QString& path) : m_fd(::inotify_init1(IN_NONBLOCK)) {
        if (m_fd >= 0 &&
            ::inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_OPEN) < 0)
            m_fd = (::close(m_fd), -1);
    }
    ~OpenWatch() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;
    bool isWatching() const { return m_fd >= 0; }
    int count() {
        alignas(inotify_event) char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0)
            for (ssize_t at = 0; at < n; ++m_opens)
                at += static_cast<ssize_t>(sizeof(inotify_event) +
                                           reinterpret_cast<inotify_event*>(buffer + at)->len);
        return m_opens;
    }

private:
    int m_fd;
    int m_opens = 0;
};
} // namespace

class TstSerialPort : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { g_previousHandler = qInstallMessageHandler(recordWarnings); }
    void init() {
        g_warnings.clear();
        m_clock = FakeClock{};
    }
    // Every case doubles as a check that the layer never makes Qt complain.
    void cleanup() { QCOMPARE(g_warnings, QStringList()); }

    // --- talking to the instrument
    void exchangesBytesBothWays_data();
    void exchangesBytesBothWays();
    void readsOneRawByteAtATime();
    void discardDropsWhatWasReceived();
    void bytesWaitingStopsAt32767();

    // --- configuration
    void refusedBaudKeepsLastAcceptedSettings();
    void lineSettingsText_data();
    void lineSettingsText();
    void portCannotChangeWhileOpen();
    void portWithoutDeviceIsInvalid();
    void portHeldElsewhereIsBusy();

    // --- closed port and lost device
    void closedPortIsHarmless();
    void vanishedDeviceKeepsWhatArrived();
    void reconnectsOnlyToTheSameDevice_data();
    void reconnectsOnlyToTheSameDevice();

    void readOnItsOwnThreadWhileTheWindowIsBusy();
    void heldBackNoticeCarriesWhatCameMeanwhile();
    void endOfRunTakesNothingMoreFromTheLine();

    // --- events
    void eventsAreQueuedOneAtATime();
    void ptyRaisesNoLineEvents();
    void counterEvents_data();
    void counterEvents();
    void modemLineEvents_data();
    void modemLineEvents();

    // --- port numbers
    void portOrder_data();
    void portOrder();

private:
    FakeClock m_clock;
};

void TstSerialPort::exchangesBytesBothWays_data() {
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<uint>("speed");
    QTest::newRow("9600") << QByteArray("9600,N,8,1") << 9600u;
    QTest::newRow("14400, a custom rate") << QByteArray("14400,N,8,1") << 14400u;
}

void TstSerialPort::exchangesBytesBothWays() {
    QFETCH(QByteArray, settings);
    QFETCH(uint, speed);
    if (speed == 14400 && !customRatesReachTheDriver())
        QSKIP(kNoCustomRates);
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    QCOMPARE(port.setLineSettings(settings), SerialError::kNone);
    QCOMPARE(port.open(), SerialError::kNone);
    QVERIFY(port.isOpen());
    QCOMPARE(instrument.lineSpeed(), speed);

    QVERIFY(instrument.write("T=21.5\r"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(7));
    QByteArray line;
    while (port.bytesWaiting() > 0)
        line += readChar(port);
    QCOMPARE(line, QByteArray("T=21.5\r"));

    QCOMPARE(port.sendText("MEAS?"), SerialError::kNone);
    QCOMPARE(instrument.read(5), QByteArray("MEAS?"));
}

void TstSerialPort::readsOneRawByteAtATime() {
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    QCOMPARE(port.open(), SerialError::kNone);
    const QByteArray raw("\x00\xff\xe9\r\n", 5);
    QVERIFY(instrument.write(raw));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(5));
    for (char expected : raw)
        QCOMPARE(readChar(port), QByteArray(1, expected));
    QCOMPARE(readChar(port), QByteArray());
}

void TstSerialPort::discardDropsWhatWasReceived() {
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    QCOMPARE(port.open(), SerialError::kNone);
    QVERIFY(instrument.write("old data"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(8));
    // Reading takes all Qt holds at once; discarding drops that too.
    QCOMPARE(readChar(port), QByteArray("o"));
    QCOMPARE(port.bytesWaiting(), int16_t(7));
    QCOMPARE(port.discardReceived(), SerialError::kNone);
    QCOMPARE(port.bytesWaiting(), int16_t(0));
    QVERIFY(instrument.write("N"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(1));
    QCOMPARE(readChar(port), QByteArray("N"));
}

void TstSerialPort::bytesWaitingStopsAt32767() {
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    QCOMPARE(port.open(), SerialError::kNone);
    QVERIFY(instrument.write(QByteArray(40000, 'x')));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(32767));
}

void TstSerialPort::refusedBaudKeepsLastAcceptedSettings() {
    if (!customRatesReachTheDriver())
        QSKIP(kNoCustomRates);
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    QCOMPARE(port.setLineSettings("14400,N,8,1"), SerialError::kNone);
    QCOMPARE(port.setLineSettings("abc,N,8,1"), SerialError::kInvalidValue);
    QCOMPARE(port.open(), SerialError::kNone);
    QCOMPARE(instrument.lineSpeed(), 14400u);
}

void TstSerialPort::lineSettingsText_data() {
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<int32_t>("code");
    QTest::newRow("usual") << QByteArray("38400,N,8,1") << SerialError::kNone;
    QTest::newRow("even parity, 7 bits, 2 stops") << QByteArray("4800,e,7,2") << SerialError::kNone;
    QTest::newRow("zero") << QByteArray("0,N,8,1") << SerialError::kInvalidValue;
    QTest::newRow("negative") << QByteArray("-9600,N,8,1") << SerialError::kInvalidValue;
    QTest::newRow("fraction") << QByteArray("9600.5,N,8,1") << SerialError::kInvalidValue;
    QTest::newRow("too big") << QByteArray("99999999999,N,8,1") << SerialError::kInvalidValue;
    QTest::newRow("empty baud") << QByteArray(",N,8,1") << SerialError::kInvalidValue;
    QTest::newRow("parity X") << QByteArray("9600,X,8,1") << SerialError::kInvalidValue;
    QTest::newRow("9 data bits") << QByteArray("9600,N,9,1") << SerialError::kInvalidValue;
    QTest::newRow("3 stop bits") << QByteArray("9600,N,8,3") << SerialError::kInvalidValue;
    QTest::newRow("missing field") << QByteArray("9600,N,8") << SerialError::kInvalidValue;
}

void TstSerialPort::lineSettingsText() {
    QFETCH(QByteArray, settings);
    QFETCH(int32_t, code);
    SerialPort port(m_clock, [] { return QList<SerialDevice>(); });
    QCOMPARE(port.setLineSettings(settings), code);
}

void TstSerialPort::portCannotChangeWhileOpen() {
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    QCOMPARE(port.open(), SerialError::kNone);
    QCOMPARE(port.selectPort(2), SerialError::kPortAlreadyOpen);
    QCOMPARE(port.open(), SerialError::kPortAlreadyOpen);
    // On a pty there are no modem lines: asserting them is not a failure.
    QCOMPARE(port.setDtr(true), SerialError::kNone);
    QCOMPARE(port.setRts(true), SerialError::kNone);
    QCOMPARE(port.close(), SerialError::kNone);
    QCOMPARE(port.selectPort(2), SerialError::kNone);
}

void TstSerialPort::portWithoutDeviceIsInvalid() {
    SerialPort unmapped(m_clock, [] { return QList<SerialDevice>(); });
    QCOMPARE(unmapped.open(), SerialError::kInvalidPort);
    QVERIFY(!unmapped.isOpen());
    SerialPort missing(m_clock, portAt(1, QStringLiteral("/dev/ttyUSB-not-there")));
    QCOMPARE(missing.open(), SerialError::kInvalidPort);
    QVERIFY(!missing.isOpen());
    QCOMPARE(missing.selectPort(0), SerialError::kInvalidPort);
}

void TstSerialPort::portHeldElsewhereIsBusy() {
    PtyInstrument instrument;
    SerialPort first(m_clock, portAt(1, instrument.slavePath()));
    SerialPort second(m_clock, portAt(1, instrument.slavePath()));
    QCOMPARE(first.open(), SerialError::kNone);
    QCOMPARE(second.open(), SerialError::kDeviceBusy);
    QVERIFY(!second.isOpen());
    first.close();
    QCOMPARE(second.open(), SerialError::kNone);
}

void TstSerialPort::closedPortIsHarmless() {
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    QCOMPARE(port.open(), SerialError::kNone);
    QVERIFY(instrument.write("late"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(4));
    QCOMPARE(port.close(), SerialError::kNone);

    QCOMPARE(port.discardReceived(), SerialError::kPortNotOpen);
    QCOMPARE(port.bytesWaiting(), int16_t(0));
    QCOMPARE(readChar(port), QByteArray());
    QCOMPARE(port.sendText("ABC"), SerialError::kPortNotOpen);
    QCOMPARE(port.close(), SerialError::kNone);
    QVERIFY(!port.isOpen());
    QCOMPARE(instrument.readFor(100), QByteArray());
}

void TstSerialPort::vanishedDeviceKeepsWhatArrived() {
    auto instrument = std::make_unique<PtyInstrument>();
    SerialPort port(m_clock, [&instrument] {
        return QList<SerialDevice>{nodeDevice(instrument->slavePath())};
    });
    QCOMPARE(port.open(), SerialError::kNone);
    auto* qtPort = port.findChild<SystemSerialPort*>();
    QVERIFY(qtPort);
    QSignalSpy errors(qtPort, &SystemSerialPort::errorOccurred);
    QSignalSpy events(&port, &CommPort::lineEvent);
    QSignalSpy removals(&port, &CommPort::deviceRemoved);

    QVERIFY(instrument->write("12.5\r\n13"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(8));
    QCOMPARE(readChar(port), QByteArray("1"));
    instrument->closeMaster();
    QTRY_COMPARE(removals.count(), 1);
    QTest::qWait(300);
    const auto isFailure = [](const QList<QVariant>& args) {
        return args[0].value<SystemSerialPort::SerialPortError>() != SystemSerialPort::NoError;
    };
    QCOMPARE(std::count_if(errors.begin(), errors.end(), isFailure), 1);
    QCOMPARE(removals.count(), 1);
    QVERIFY(!port.isOpen());
    QVERIFY(!qtPort->isOpen());
    QCOMPARE(events.count(), 0);
    QCOMPARE(port.sendText("x"), SerialError::kPortNotOpen);
    const QDateTime arrived = m_clock.current;
    m_clock.advanceMs(60'000); // read a minute later, stamped with when they came
    QByteArray rest;
    while (port.bytesWaiting() > 0) {
        rest += readChar(port);
        QCOMPARE(port.lastCharArrivalMs(), arrived.toMSecsSinceEpoch());
    }
    QCOMPARE(rest, QByteArray("2.5\r\n13"));

    // Plugged in again: the same number opens the new device, with nothing of the old.
    instrument = std::make_unique<PtyInstrument>();
    QCOMPARE(port.open(), SerialError::kNone);
    QCOMPARE(port.bytesWaiting(), int16_t(0));
    QVERIFY(instrument->write("N"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(1));
    QCOMPARE(readChar(port), QByteArray("N"));
}

void TstSerialPort::reconnectsOnlyToTheSameDevice_data() {
    // Adapters as "serial@socket". The first one at START is COM1, the logged one; it is
    // pulled, and those listed for the reconnect are plugged in (the first in COM1's place).
    QTest::addColumn<QStringList>("atStart");
    QTest::addColumn<QStringList>("atReconnect");
    QTest::addColumn<int>("opened"); // of atReconnect; -1: none
    QTest::newRow("the other adapter now at COM1 is never opened")
        << QStringList{"A1@1-1", "B2@1-2"} << QStringList{"B2@1-2"} << -1;
    QTest::newRow("the same adapter back under another node, after the other")
        << QStringList{"A1@1-1", "B2@1-2"} << QStringList{"B2@1-2", "A1@1-3"} << 1;
    QTest::newRow("a clone with its serial number is never opened")
        << QStringList{"A1@1-1", "A1@1-2"} << QStringList{"A1@1-2"} << -1;
    QTest::newRow("the clone stays, the adapter comes back to its own socket")
        << QStringList{"A1@1-1", "A1@1-2"} << QStringList{"A1@1-2", "A1@1-1"} << 1;
    QTest::newRow("two with its serial number at the reconnect: neither")
        << QStringList{"A1@1-1"} << QStringList{"A1@1-2", "A1@1-3"} << -1;
}

void TstSerialPort::reconnectsOnlyToTheSameDevice() {
    QFETCH(QStringList, atStart);
    QFETCH(QStringList, atReconnect);
    QFETCH(int, opened);
    std::vector<std::unique_ptr<PtyInstrument>> lines;
    const auto plug = [&lines](const QStringList& adapters) {
        QList<SerialDevice> present;
        for (const QString& adapter : adapters) {
            lines.push_back(std::make_unique<PtyInstrument>());
            present << usbAdapter(lines.back()->slavePath(), adapter.section(u'@', 0, 0),
                                  adapter.section(u'@', 1) + QStringLiteral(":1.0"));
        }
        return present;
    };
    QList<SerialDevice> present = plug(atStart);
    SerialPort port(m_clock, [&present] { return present; });
    QCOMPARE(port.open(), SerialError::kNone);
    const QString loggedSerial = atStart.first().section(u'@', 0, 0);
    QCOMPARE(port.identityShared(), std::count_if(atStart.begin(), atStart.end(), [&](auto& a) {
                                        return a.section(u'@', 0, 0) == loggedSerial;
                                    }) > 1);
    PtyInstrument& logged = *lines.front();
    QVERIFY(logged.write("held"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(4));
    logged.closeMaster();
    QTRY_VERIFY(!port.isOpen());

    present = plug(atReconnect);
    std::vector<std::unique_ptr<OpenWatch>> opens;
    for (const SerialDevice& device : present) {
        opens.push_back(std::make_unique<OpenWatch>(device.path));
        QVERIFY(opens.back()->isWatching());
    }
    QCOMPARE(port.reopenDevice(), opened < 0 ? SerialError::kInvalidPort : SerialError::kNone);
    QCOMPARE(port.isOpen(), opened >= 0);
    for (int i = 0; i < int(opens.size()); ++i)
        QCOMPARE(opens[std::size_t(i)]->count(), i == opened ? 1 : 0);
    if (opened < 0) {
        // What the pulled adapter sent is still there to be read.
        QByteArray kept;
        while (port.bytesWaiting() > 0)
            kept += readChar(port);
        QCOMPARE(kept, QByteArray("held"));
        return;
    }
    QCOMPARE(port.openedDevice().path, present[opened].path);
    QVERIFY(lines[static_cast<std::size_t>(atStart.size() + opened)]->write("A"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(1));
}

// The window's thread is held for 2.5 s (a settings window listing a share that hangs) while
// the instrument sends 60 KB without ever waiting, three times what a pty holds: nothing is
// refused, and every byte keeps the time it arrived.
void TstSerialPort::readOnItsOwnThreadWhileTheWindowIsBusy() {
    PtyInstrument instrument;
    SystemClock clock;
    ThreadedPort port(std::make_unique<SerialPort>(clock, portAt(1, instrument.slavePath())));
    QCOMPARE(port.open(), SerialError::kNone);
    QByteArray sent;
    QList<qint64> sentAt; // of each 1,500-byte chunk
    qsizetype refused = 0;
    std::thread sending([&] {
        for (int i = 0; i < 40; ++i) {
            const QByteArray chunk(1500, static_cast<char>('A' + i % 26));
            sentAt << clock.nowMs();
            refused += chunk.size() - instrument.offer(chunk);
            sent += chunk;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    sending.join();
    QCOMPARE(refused, 0);
    QByteArray got;
    QTRY_VERIFY(port.bytesWaiting() > 0);
    while (got.size() < sent.size() && QTest::qWaitFor([&] { return port.bytesWaiting() > 0; })) {
        char c = 0;
        while (port.readByte(c)) {
            if (got.size() % 1500 == 0) {
                const qint64 late = port.lastCharArrivalMs() - sentAt.value(got.size() / 1500);
                QVERIFY2(late >= 0 && late < 200, qPrintable(QString::number(late)));
            }
            got += c;
        }
    }
    QCOMPARE(got, sent);
}

// The end of a run collects what the port holds, and then takes nothing more: what the instrument
// sends after stays on the line, rather than read and dropped by the close that follows.
void TstSerialPort::endOfRunTakesNothingMoreFromTheLine() {
    PtyInstrument instrument;
    SystemClock clock;
    ThreadedPort port(std::make_unique<SerialPort>(clock, portAt(1, instrument.slavePath())));
    QCOMPARE(port.open(), SerialError::kNone);
    QVERIFY(instrument.write("before\r"));
    QTRY_COMPARE(port.bytesWaiting(), int16_t(7));
    port.collectReceived();
    QVERIFY(instrument.write("after\r"));
    QTest::qWait(300); // time enough for a reader still reading to take it
    QByteArray got;
    for (char c = 0; port.readByte(c);)
        got += c;
    QCOMPARE(got, QByteArray("before\r"));
    QCOMPARE(port.close(), SerialError::kNone);
    // The test holds the slave side open, so the terminal keeps what nobody read.
    char left[16] = {};
    QCOMPARE(::read(instrument.slaveFd(), left, sizeof left), ssize_t(6));
    QCOMPARE(QByteArray(left, 6), QByteArray("after\r"));
}

void TstSerialPort::heldBackNoticeCarriesWhatCameMeanwhile() {
    SystemClock clock;
    // "b" has to reach the reader within the gap after the notice of "a". A slow build (the race
    // checker) can take longer than that to get there: such a round proves nothing, and another
    // is run. Atomics, as the race checker cannot see Qt hand a queued call over.
    struct Round {
        std::atomic<FakeCommPort*> fake;
        std::atomic<qint64> noticeAtMs{0}; // the notice of "a" goes as "a" is fed
        std::atomic<bool> withinGap{false};
    };
    const auto steadyMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    for (int attempt = 1;; ++attempt) {
        auto inner = std::make_unique<FakeCommPort>();
        Round round;
        round.fake = inner.get();
        inner->clock = &clock;
        ThreadedPort port(std::move(inner));
        QCOMPARE(port.open(), SerialError::kNone);
        QSignalSpy notices(&port, &CommPort::dataReceived);
        const auto onReader = [&round](const std::function<void()>& step) {
            QMetaObject::invokeMethod(round.fake.load(), step, Qt::BlockingQueuedConnection);
        };
        onReader([&round, steadyMs] {
            round.fake.load()->feed("a");
            round.noticeAtMs = steadyMs();
        });
        QVERIFY(notices.wait(1000));
        QCOMPARE(port.bytesWaiting(), int16_t(1));
        // Within the gap: "b" is told of and held back; "c" comes without a word, as a device
        // that paces its own news holds bytes it has not announced yet.
        onReader([&round, steadyMs] {
            round.withinGap = steadyMs() - round.noticeAtMs < ThreadedPort::kNoticeGapMs / 2;
            if (!round.withinGap)
                return;
            round.fake.load()->feed("b");
            round.fake.load()->received += 'c';
        });
        if (!round.withinGap && attempt < 20)
            continue;
        if (!round.withinGap)
            QSKIP("20 rounds took longer than the notice gap to reach the reader");
        QVERIFY(notices.wait(1000));
        QCOMPARE(port.bytesWaiting(), int16_t(3));
        QByteArray got;
        for (char c = 0; port.readByte(c);)
            got += c;
        QCOMPARE(got, QByteArray("abc"));
        return;
    }
}

void TstSerialPort::eventsAreQueuedOneAtATime() {
    SerialPort port(m_clock, [] { return QList<SerialDevice>(); });
    QList<int16_t> seen;
    int depth = 0;
    int deepest = 0;
    connect(&port, &CommPort::lineEvent, this, [&] {
        deepest = std::max(deepest, ++depth);
        seen << port.latestEvent();
        QCoreApplication::processEvents(); // a handler that yields must not get the next one
        --depth;
    });
    port.injectEvent(1009);
    port.injectEvent(3);
    QVERIFY(seen.isEmpty()); // never inside the caller's operation
    QTRY_COMPARE(seen, (QList<int16_t>{1009, 3}));
    QCOMPARE(deepest, 1);
}

void TstSerialPort::ptyRaisesNoLineEvents() {
    PtyInstrument instrument;
    SerialPort port(m_clock, portAt(1, instrument.slavePath()));
    QSignalSpy events(&port, &CommPort::lineEvent);
    QCOMPARE(port.open(), SerialError::kNone);
    QVERIFY(instrument.write("data"));
    QTest::qWait(200);
    QCOMPARE(events.count(), 0);
}

void TstSerialPort::counterEvents_data() {
    QTest::addColumn<LineCounters>("after");
    QTest::addColumn<QList<int16_t>>("codes");
    QTest::newRow("nothing moved") << LineCounters{} << QList<int16_t>{};
    QTest::newRow("break") << LineCounters{1, 0, 0, 0, 0} << QList<int16_t>{1001};
    QTest::newRow("3 framing errors, one event")
        << LineCounters{0, 3, 0, 0, 0} << QList<int16_t>{1004};
    QTest::newRow("overrun") << LineCounters{0, 0, 1, 0, 0} << QList<int16_t>{1006};
    QTest::newRow("buffer overflow") << LineCounters{0, 0, 0, 1, 0} << QList<int16_t>{1008};
    QTest::newRow("parity and break") << LineCounters{2, 0, 0, 0, 1} << QList<int16_t>{1001, 1009};
}

void TstSerialPort::counterEvents() {
    QFETCH(LineCounters, after);
    QFETCH(QList<int16_t>, codes);
    QCOMPARE(::counterEvents(LineCounters{}, after), codes);
}

void TstSerialPort::modemLineEvents_data() {
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::addColumn<QList<int16_t>>("codes");
    QTest::newRow("DTR is ours, not an event") << 0 << ModemLine::kDtr << QList<int16_t>{};
    QTest::newRow("CTS rises") << 0 << ModemLine::kCts << QList<int16_t>{LineEvent::kCtsChanged};
    QTest::newRow("DSR falls") << ModemLine::kDsr << 0 << QList<int16_t>{LineEvent::kDsrChanged};
    QTest::newRow("CD and ring") << 0 << (ModemLine::kCd | ModemLine::kRing)
                                 << QList<int16_t>{LineEvent::kCdChanged, LineEvent::kRingChanged};
}

void TstSerialPort::modemLineEvents() {
    QFETCH(int, before);
    QFETCH(int, after);
    QFETCH(QList<int16_t>, codes);
    QCOMPARE(::modemLineEvents(before, after), codes);
}

void TstSerialPort::portOrder_data() {
    QTest::addColumn<QList<TtyEntry>>("scan");
    QTest::addColumn<QStringList>("ports");
    QTest::newRow("laptop with one USB adapter")
        << QList<TtyEntry>{{"ttyS0", false},  {"ttyS1", false}, {"ttyS31", false},
                           {"ttyUSB0", true}, {"tty0", true},   {"console", true}}
        << QStringList{"ttyUSB0"};
    QTest::newRow("numbers, not text order")
        << QList<TtyEntry>{{"ttyS10", true}, {"ttyS2", true}, {"ttyUSB10", true}, {"ttyUSB9", true}}
        << QStringList{"ttyS2", "ttyS10", "ttyUSB9", "ttyUSB10"};
    QTest::newRow("built-in, then USB, then ACM")
        << QList<TtyEntry>{{"ttyACM0", true}, {"ttyUSB1", true}, {"ttyAMA0", true}, {"ttyS0", true}}
        << QStringList{"ttyS0", "ttyAMA0", "ttyUSB1", "ttyACM0"};
    QTest::newRow("odd names ignored")
        << QList<TtyEntry>{{"ttyS", true}, {"ttySx1", true}, {"ttyUSB0a", true}, {"ttyS1", true}}
        << QStringList{"ttyS1"};
}

void TstSerialPort::portOrder() {
    QFETCH(QList<TtyEntry>, scan);
    QFETCH(QStringList, ports);
    QCOMPARE(orderSerialDevices(scan), ports);
}

QTEST_GUILESS_MAIN(TstSerialPort)
#include "tst_serial_port.moc"
