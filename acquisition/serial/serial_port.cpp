// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/serial/serial_port.h"

#include "acquisition/core/clock.h"
#include "acquisition/platform/platform_serial.h"
#include "acquisition/serial/serial_errors.h"

#include <algorithm>

namespace {

// Often enough to report a line error while the operator still looks at the line; cheap enough
// (two questions to the driver) to run for hours.
constexpr int kPollIntervalMs = 50;
constexpr qint64 kReadBufferBytes = qint64(64) * 1024;
constexpr qint64 kMaxWaitingCount = 32767;

// A device that notes when each chunk came as it reads: the times are its, not
// those of the moment this thread hears of the bytes.
template <typename Device>
concept StampsArrivals = requires(Device& device) {
    device.takeArrivals();
};
template <typename Device>
concept PacesReadyRead = requires {
    Device::kReadyGapMs;
};

} // namespace

SerialPort::SerialPort(const Clock& clock, PortScan scan, QObject* parent)
    : CommPort(parent), m_clock(clock), m_scan(std::move(scan)), m_port(this), m_pollTimer(this) {
    if (!m_scan)
        m_scan = systemPortScan;
    m_pollTimer.setInterval(kPollIntervalMs);
    // Qt stops reading the device while this much waits unread, rather than fill memory
    // with a flood nobody frames.
    m_port.setReadBufferSize(kReadBufferBytes);
    connect(&m_port, &SystemSerialPort::errorOccurred, this, &SerialPort::onPortError);
    // Qt collects received bytes whenever the event loop runs, a message box's included: the
    // time they arrived is noted then, not when the reader gets to them.
    connect(&m_port, &SystemSerialPort::readyRead, this, &SerialPort::noteArrivals);
    connect(&m_port, &SystemSerialPort::readyRead, this, &CommPort::dataReceived);
    if constexpr (StampsArrivals<SystemSerialPort>)
        m_port.setArrivalClock([&clock] { return clock.nowMs(); });
    connect(&m_pollTimer, &QTimer::timeout, this, &SerialPort::pollLine);
}

SerialPort::~SerialPort() {
    close();
}

int32_t SerialPort::selectPort(int16_t portNumber) {
    if (isOpen())
        return SerialError::kPortAlreadyOpen;
    // Kept even when refused, so the next open fails too instead of opening the port before.
    m_portNumber = portNumber;
    return portNumber < 1 ? SerialError::kInvalidPort : SerialError::kNone;
}

int32_t SerialPort::setLineSettings(const QByteArray& settings) {
    LineFormat format;
    if (!parseLineFormat(settings, format))
        return SerialError::kInvalidValue;
    const LineFormat previous = m_format;
    m_format = format;
    if (!isOpen())
        return SerialError::kNone;
    const int32_t code = applyLineFormat();
    if (code != SerialError::kNone) {
        // The port keeps running with what it had; the refused text is not remembered.
        m_format = previous;
        applyLineFormat();
    }
    return code;
}

int32_t SerialPort::setReadLength(int16_t length) {
    if (length < 0)
        return SerialError::kInvalidValue;
    // Stored for completeness; readByte() always hands out a single byte.
    m_readLength = length;
    return SerialError::kNone;
}

int32_t SerialPort::setDtr(bool on) {
    m_dtr = on;
    return isOpen() ? applyModemLine(ModemLine::kDtr, on) : SerialError::kNone;
}

int32_t SerialPort::setRts(bool on) {
    m_rts = on;
    return isOpen() ? applyModemLine(ModemLine::kRts, on) : SerialError::kNone;
}

int32_t SerialPort::setReceiveThreshold(int16_t count) {
    if (count < 0)
        return SerialError::kInvalidValue;
    // Received data raises no line event whatever the threshold; the reader hears of it
    // through dataReceived.
    m_receiveThreshold = count;
    return SerialError::kNone;
}

int32_t SerialPort::setSendThreshold(int16_t count) {
    if (count < 0)
        return SerialError::kInvalidValue;
    m_sendThreshold = count;
    return SerialError::kNone;
}

int32_t SerialPort::open() {
    if (isOpen())
        return SerialError::kPortAlreadyOpen;
    const QList<SerialDevice> present = m_portNumber < 1 ? QList<SerialDevice>() : m_scan();
    SerialDevice device = present.value(m_portNumber - 1);
    // Caught between two of its sysfs folders: asked once more, or it could never come back.
    if (!device.path.isEmpty() && device.identity.isEmpty()) {
        for (const SerialDevice& again : m_scan())
            if (again.path == device.path)
                device.identity = again.identity;
    }
    // Clones of one chip report one serial number: such a device is known by its socket too.
    const bool shared =
        !device.identity.isEmpty() &&
        std::count_if(present.begin(), present.end(), [&device](const SerialDevice& d) {
            return d.identity == device.identity;
        }) > 1;
    const int32_t code = openDevice(device, shared);
    // The adapters of its kind present now; one that turns up in another socket later may be
    // this one, moved.
    m_kindSocketsAtOpen.clear();
    for (const SerialDevice& d : present)
        if (sameKind(d, device))
            m_kindSocketsAtOpen << d.socket;
    return code;
}

int32_t SerialPort::reopenDevice() {
    if (isOpen())
        return SerialError::kPortAlreadyOpen;
    // By who it is, not where it is: the n-th port may now be another instrument's adapter.
    const QList<SerialDevice> present =
        m_device.identity.isEmpty() ? QList<SerialDevice>() : m_scan();
    QList<SerialDevice> same;
    std::copy_if(
        present.begin(), present.end(), std::back_inserter(same), [this](const SerialDevice& d) {
            return d.identity == m_device.identity && (!m_bySocket || d.socket == m_device.socket);
        });
    // Two devices that answer to its name: neither is known to be the instrument's.
    return same.size() == 1 ? openDevice(same.first(), m_bySocket) : SerialError::kInvalidPort;
}

bool SerialPort::knownBySocket() const {
    return m_bySocket ||
           (!m_device.socket.isEmpty() && m_device.identity.contains(m_device.socket));
}

bool SerialPort::sameKindElsewhere() const {
    if (!knownBySocket())
        return false;
    const QList<SerialDevice> present = m_scan();
    return std::any_of(present.begin(), present.end(), [this](const SerialDevice& d) {
        return sameKind(d, m_device) && !m_kindSocketsAtOpen.contains(d.socket);
    });
}

bool SerialPort::sameKind(const SerialDevice& a, const SerialDevice& b) {
    // Vendor and product: "usb 0403:6001".
    return !a.socket.isEmpty() && !b.socket.isEmpty() &&
           a.identity.section(u' ', 0, 1) == b.identity.section(u' ', 0, 1);
}

int32_t SerialPort::openDevice(const SerialDevice& device, bool bySocket) {
    if (device.path.isEmpty())
        return SerialError::kInvalidPort;
    // A port whose device vanished is still held until released. What it had received stays
    // readable until another device is open.
    closeDevice();
    m_port.setPortName(device.path);
    m_port.setFlowControl(SystemSerialPort::NoFlowControl);
    applyLineFormat(); // only stored while closed; QSerialPort applies it when opening
    if (!m_port.open(QIODevice::ReadWrite)) {
        const int32_t code = openFailureCode(device.path);
        m_port.clearError();
        return code;
    }
    dropReceived();
    m_device = device;
    m_bySocket = bySocket;
    int32_t code = applyModemLine(ModemLine::kDtr, m_dtr);
    const int32_t rtsCode = applyModemLine(ModemLine::kRts, m_rts);
    if (rtsCode != SerialError::kNone)
        code = rtsCode;
    startWatching();
    return code;
}

int32_t SerialPort::close() {
    closeDevice();
    dropReceived();
    return SerialError::kNone;
}

void SerialPort::dropReceived() {
    m_lost = false;
    m_taken.clear();
    m_takenAt = 0;
    m_arrivals.clear();
}

void SerialPort::closeDevice() {
    m_pollTimer.stop();
    if (m_port.isOpen())
        m_port.close();
    m_port.clearError();
}

bool SerialPort::isOpen() const {
    return m_port.isOpen() && !m_lost;
}

int32_t SerialPort::discardReceived() {
    if (!isOpen())
        return SerialError::kPortNotOpen;
    // clear() empties both Qt's buffer and the driver's input queue.
    const bool cleared = m_port.clear(SystemSerialPort::Input);
    m_taken.clear();
    m_takenAt = 0;
    m_arrivals.clear();
    return cleared ? SerialError::kNone : SerialError::kOperationFailed;
}

namespace {
template <typename Port> void readLast(Port& port) {
    if constexpr (requires { port.stopReading(); })
        port.stopReading();
    else
        port.waitForReadyRead(0);
}
} // namespace

void SerialPort::collectReceived() {
    if (!m_port.isOpen())
        return;
    // What the device holds is not left for a notifier that will not fire again; and a device
    // reading on a thread of its own stops, or what it read after this would go with the close.
    readLast(m_port);
}

int16_t SerialPort::bytesWaiting() {
    // Only what the event loop has already collected: asking the line would mean waiting.
    // Bytes that arrived before the device vanished count until they are read.
    qint64 waiting = m_taken.size() - m_takenAt;
    if (m_port.isOpen())
        waiting += m_port.bytesAvailable();
    return static_cast<int16_t>(std::min(waiting, kMaxWaitingCount));
}

bool SerialPort::readByte(char& c) {
    if (m_takenAt == m_taken.size() && !takeFromPort())
        return false;
    c = m_taken.at(m_takenAt++);
    if (const std::optional<qint64> at = m_arrivals.handOut())
        m_lastCharArrival = *at;
    return true;
}

bool SerialPort::takeFromPort() {
    qint64 held = 0;
    if constexpr (StampsArrivals<SystemSerialPort>) {
        // Exactly the bytes whose times are known: what came after them waits for its own.
        noteArrivals();
        held = m_port.isOpen() ? m_arrivals.held() : 0;
    } else {
        // Reading no more than Qt holds never asks the driver, which would wake a lost port.
        held = m_port.isOpen() ? m_port.bytesAvailable() : 0;
        // Bytes Qt collected without saying so (it never repeats readyRead inside a handler of
        // readyRead) are noted now, the earliest time we know of them.
        if (held > 0)
            noteArrivals();
    }
    if (held == 0)
        return false;
    // All of it at once: reading Qt's buffer a byte at a time costs more than the record.
    m_taken.resize(static_cast<qsizetype>(held));
    const qint64 read = m_port.read(m_taken.data(), held);
    m_taken.resize(static_cast<qsizetype>(std::max<qint64>(read, 0)));
    m_takenAt = 0;
    m_arrivals.taken(m_taken.size());
    return !m_taken.isEmpty();
}

int32_t SerialPort::sendText(const QByteArray& text) {
    if (!isOpen())
        return SerialError::kPortNotOpen;
    if (text.isEmpty())
        return SerialError::kNone;
    if (m_port.write(text) != text.size())
        return SerialError::kOperationFailed;
    // Hand the bytes to the driver now rather than at the next event loop pass; this does not
    // wait for the line.
    m_port.flush();
    return SerialError::kNone;
}

int16_t SerialPort::latestEvent() const {
    return m_latestEvent;
}

bool SerialPort::pacesDataReceived() const {
    // Linux's device emits readyRead at most every kReadyGapMs, the times noted as it reads.
    return PacesReadyRead<SystemSerialPort>;
}

void SerialPort::injectEvent(int16_t code) {
    queueEvent(code);
}

bool SerialPort::parseLineFormat(const QByteArray& text, LineFormat& format) {
    const QList<QByteArray> parts = text.split(',');
    if (parts.size() != 4)
        return false;
    const QByteArray& baud = parts[0];
    bool ok = !baud.isEmpty() &&
              std::all_of(baud.begin(), baud.end(), [](char c) { return c >= '0' && c <= '9'; });
    format.baud = ok ? baud.toInt(&ok) : 0;
    if (!ok || format.baud <= 0)
        return false;

    const QByteArray parity = parts[1].toUpper();
    if (parity == "N")
        format.parity = SystemSerialPort::NoParity;
    else if (parity == "E")
        format.parity = SystemSerialPort::EvenParity;
    else if (parity == "O")
        format.parity = SystemSerialPort::OddParity;
    else if (parity == "M")
        format.parity = SystemSerialPort::MarkParity;
    else if (parity == "S")
        format.parity = SystemSerialPort::SpaceParity;
    else
        return false;

    const QByteArray& bits = parts[2];
    if (bits != "5" && bits != "6" && bits != "7" && bits != "8")
        return false;
    format.dataBits = static_cast<SystemSerialPort::DataBits>(bits.toInt());

    const QByteArray& stop = parts[3];
    if (stop == "1")
        format.stopBits = SystemSerialPort::OneStop;
    else if (stop == "1.5")
        format.stopBits = SystemSerialPort::OneAndHalfStop;
    else if (stop == "2")
        format.stopBits = SystemSerialPort::TwoStop;
    else
        return false;
    return true;
}

int32_t SerialPort::applyLineFormat() {
    // Rates without a standard constant (14400) go through Qt's custom-rate path.
    const bool ok = m_port.setBaudRate(m_format.baud) && m_port.setParity(m_format.parity) &&
                    m_port.setDataBits(m_format.dataBits) && m_port.setStopBits(m_format.stopBits);
    return ok ? SerialError::kNone : SerialError::kSettingsRefused;
}

int32_t SerialPort::applyModemLine(int line, bool on) {
    // Done here rather than through QSerialPort, which reports a device without modem lines
    // (a pty) as an error; for us there is simply no line to assert.
    return setModemLine(m_port.handle(), line, on) == DriverAnswer::Failed
               ? SerialError::kModemLineFailed
               : SerialError::kNone;
}

int32_t SerialPort::openFailureCode(const QString& device) const {
    switch (m_port.error()) {
    case SystemSerialPort::DeviceNotFoundError:
        return SerialError::kInvalidPort;
    case SystemSerialPort::PermissionError:
        // Qt reports a lock held by another program as a permission error too.
        return mayReadAndWrite(device) ? SerialError::kDeviceBusy : SerialError::kPermissionDenied;
    case SystemSerialPort::UnsupportedOperationError:
        return SerialError::kSettingsRefused;
    default:
        return SerialError::kOpenFailed;
    }
}

void SerialPort::startWatching() {
    const PortHandle handle = m_port.handle();
    m_countersWatched = readLineCounters(handle, m_counters) == DriverAnswer::Done;
    m_modemLinesWatched = readModemLines(handle, m_modemLines) == DriverAnswer::Done;
    if (m_countersWatched || m_modemLinesWatched)
        m_pollTimer.start();
}

void SerialPort::pollLine() {
    if (!isOpen()) {
        m_pollTimer.stop();
        return;
    }
    const PortHandle handle = m_port.handle();
    if (m_countersWatched) {
        LineCounters counters;
        const DriverAnswer answer = readLineCounters(handle, counters);
        if (answer == DriverAnswer::Done) {
            for (int16_t code : counterEvents(m_counters, counters))
                queueEvent(code);
            m_counters = counters;
        }
        m_countersWatched = answer != DriverAnswer::NotSupported;
    }
    if (m_modemLinesWatched) {
        int lines = 0;
        const DriverAnswer answer = readModemLines(handle, lines);
        if (answer == DriverAnswer::Done) {
            for (int16_t code : modemLineEvents(m_modemLines, lines))
                queueEvent(code);
            m_modemLines = lines;
        }
        m_modemLinesWatched = answer != DriverAnswer::NotSupported;
    }
    if (!m_countersWatched && !m_modemLinesWatched)
        m_pollTimer.stop();
}

void SerialPort::onPortError(SystemSerialPort::SerialPortError error) {
    if (error != SystemSerialPort::ReadError && error != SystemSerialPort::ResourceError)
        return;
    if (!m_port.isOpen() || m_lost)
        return;
    // The device is gone, and QSerialPort would report it hundreds of times a second. The
    // port counts as closed from here; the descriptor is released once we are out of
    // QSerialPort's notifier, which must not be deleted under its own feet.
    m_lost = true;
    m_pollTimer.stop();
    QMetaObject::invokeMethod(this, &SerialPort::releaseLostPort, Qt::QueuedConnection);
}

void SerialPort::releaseLostPort() {
    if (!m_lost || !m_port.isOpen())
        return;
    // What Qt had already read from the device is the instrument's data: it stays readable,
    // with the times it arrived.
    noteArrivals();
    m_taken = m_taken.mid(m_takenAt) + m_port.read(m_arrivals.held());
    m_takenAt = 0;
    m_arrivals.taken(m_arrivals.held());
    closeDevice();
    Q_EMIT deviceRemoved();
}

void SerialPort::queueEvent(int16_t code) {
    m_pendingEvents.enqueue(code);
    if (m_deliveryScheduled)
        return;
    m_deliveryScheduled = true;
    QMetaObject::invokeMethod(this, &SerialPort::deliverNextEvent, Qt::QueuedConnection);
}

void SerialPort::deliverNextEvent() {
    // The flag stays set while the event is delivered, so a handler that runs the event loop
    // never receives the next event inside this one.
    if (!m_pendingEvents.isEmpty()) {
        m_latestEvent = m_pendingEvents.dequeue();
        Q_EMIT lineEvent();
    }
    m_deliveryScheduled = false;
    if (!m_pendingEvents.isEmpty()) {
        m_deliveryScheduled = true;
        QMetaObject::invokeMethod(this, &SerialPort::deliverNextEvent, Qt::QueuedConnection);
    }
}

void SerialPort::noteArrivals() {
    if constexpr (StampsArrivals<SystemSerialPort>) {
        for (const auto& arrival : m_port.takeArrivals())
            m_arrivals.note(m_arrivals.held() + arrival.bytes, arrival.atMs);
    } else {
        m_arrivals.note(m_port.bytesAvailable(), m_clock.nowMs());
    }
}
