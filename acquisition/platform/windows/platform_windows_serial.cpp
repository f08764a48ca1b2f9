// SPDX-License-Identifier: GPL-3.0-or-later
// The serial device on the Win32 communications API. One thread per open port waits on the
// device with overlapped WaitCommEvent and collects what arrived with ClearCommError and
// ReadFile; it also writes what the program sends, so that nothing the program calls waits for
// the line. The owner's thread hears of received bytes and of a lost device through queued
// calls.

#include "acquisition/platform/platform_serial.h"
#include "acquisition/platform/windows/platform_windows_ports.h"

#include <QMetaObject>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <windows.h>

namespace {

// How often the thread looks at the device even when it reported nothing: a driver that
// misses an EV_RXCHAR, a wait whose end went unsignalled, or data left waiting while the buffer
// was full, is read at the latest then.
constexpr DWORD kLookAgainMs = 100;

struct Event {
    HANDLE handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event() {
        if (handle)
            ::CloseHandle(handle);
    }
};

std::wstring wide(const QString& text) {
    return text.toStdWString();
}

} // namespace

namespace {

// A driver that never ends an I/O it was told to cancel would write into freed memory: its
// OVERLAPPED and buffer are given up rather than freed once this much has passed.
constexpr DWORD kSettleMs = 2000;

// Past its line time, what the program sent before a close goes out within this much more.
constexpr DWORD kDrainSlackMs = 1000;
constexpr DWORD kMaxDrainMs = 5000;

// The overlapped I/O of one port's thread: the wait, the write, the read, each with its event
// and what the driver writes into.
struct Pending {
    Event waited;
    Event wrote;
    Event read;
    OVERLAPPED waitOv{};
    OVERLAPPED writeOv{};
    OVERLAPPED readOv{};
    DWORD mask = 0;
    QByteArray writing; // stays put while the driver sends it
    QByteArray reading; // what the driver reads into
    bool waiting = false;
    bool readPending = false;
    ULONGLONG rearmAt = 0;      // a wait the driver ended on its own is asked for again from then
    quint64 discardsAtRead = 0; // the owner's discards when the pending read started
    Pending() {
        waitOv.hEvent = waited.handle;
        writeOv.hEvent = wrote.handle;
        readOv.hEvent = read.handle;
    }
};

std::atomic<quint64> g_lines{0};

} // namespace

struct WinSerialPort::Line {
    HANDLE device = INVALID_HANDLE_VALUE;
    QString name;                     // as opened, for the system's list of ports
    const quint64 number = ++g_lines; // tells a stale report of a closed line from this one's
    Event wake; // the owner has something to write, wants bytes read again, or wants it gone
    std::atomic<bool> stop{false};
    std::atomic<qint32> baud{9600};
    std::thread thread;
    // DTR and RTS as the program set them, on the owner's thread, kept over a settings change.
    bool dtr = true;
    bool rts = true;

    mutable std::mutex mutex; // guards what follows
    QByteArray received;
    std::vector<Arrival> arrivals; // of received's bytes not yet handed out by takeArrivals
    std::function<qint64()> nowMs; // read on this thread as bytes come
    QByteArray outgoing;
    qint64 bufferLimit = 0;    // 0: none
    bool readyPending = false; // a readyRead is on its way to the owner
    quint64 discards = 0;      // of what was received, at the owner's asking
    LineCounters counters;

    ~Line() {
        stop = true;
        ::SetEvent(wake.handle);
        if (thread.joinable())
            thread.join();
        if (device != INVALID_HANDLE_VALUE)
            ::CloseHandle(device);
    }

    /// Serves the open device until told to stop or it fails; `tell` reports to the owner.
    void serve(const std::function<void(SerialPortError)>& tell);

private:
    DWORD collect(Pending& io, const std::function<void(SerialPortError)>& tell);
    DWORD clearErrors(COMSTAT& status);
    DWORD endWait(Pending& io);
    bool answers();
    void take(const QByteArray& bytes, quint64 discardsBefore,
              const std::function<void(SerialPortError)>& tell);
    DWORD startWrite(Pending& io);
    void drainOutgoing(Pending& io);
    bool settle(Pending& io);
};

WinSerialPort::WinSerialPort(QObject* parent) : QObject(parent) {}

WinSerialPort::~WinSerialPort() {
    close();
}

void WinSerialPort::setReadBufferSize(qint64 size) {
    m_readBufferSize = size;
}

template <typename T> bool WinSerialPort::trySetting(T& setting, T value) {
    // A value the driver refuses is not kept: the port goes on with the last it took.
    const T previous = setting;
    setting = value;
    if (applySettings())
        return true;
    setting = previous;
    applySettings();
    return false;
}

bool WinSerialPort::setBaudRate(qint32 baud) {
    return trySetting(m_baud, baud);
}

bool WinSerialPort::setParity(Parity parity) {
    return trySetting(m_parity, parity);
}

bool WinSerialPort::setDataBits(DataBits bits) {
    return trySetting(m_dataBits, bits);
}

bool WinSerialPort::setStopBits(StopBits bits) {
    return trySetting(m_stopBits, bits);
}

bool WinSerialPort::applySettings() {
    if (!m_line)
        return m_baud > 0; // applied at the open
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(m_line->device, &dcb))
        return false;
    dcb.BaudRate = static_cast<DWORD>(m_baud);
    dcb.ByteSize = static_cast<BYTE>(m_dataBits);
    switch (m_parity) {
    case NoParity:
        dcb.Parity = NOPARITY;
        break;
    case EvenParity:
        dcb.Parity = EVENPARITY;
        break;
    case OddParity:
        dcb.Parity = ODDPARITY;
        break;
    case MarkParity:
        dcb.Parity = MARKPARITY;
        break;
    case SpaceParity:
        dcb.Parity = SPACEPARITY;
        break;
    }
    dcb.fParity = m_parity == NoParity ? FALSE : TRUE;
    dcb.StopBits = m_stopBits == OneStop   ? ONESTOPBIT
                   : m_stopBits == TwoStop ? TWOSTOPBITS
                                           : ONE5STOPBITS;
    dcb.fBinary = TRUE;
    // No flow control of any kind; DTR and RTS stay as the program set them (raised at first).
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = m_line->dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = m_line->rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    // A byte with a parity or framing error is kept as it came; the error is reported apart.
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(m_line->device, &dcb))
        return false;
    m_line->baud = m_baud;
    return true;
}

bool WinSerialPort::open(QIODevice::OpenMode) {
    if (m_line)
        return false;
    // "\\.\COMn" reaches COM10 and above as well.
    QString path = m_name;
    if (!path.startsWith(QStringLiteral("\\\\.\\")))
        path.prepend(QStringLiteral("\\\\.\\"));
    const HANDLE device = ::CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        m_error =
            error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND     ? DeviceNotFoundError
            : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? PermissionError
                                                                               : OpenError;
        return false;
    }
    auto line = std::make_unique<Line>();
    line->device = device;
    line->name = m_name;
    line->nowMs = m_nowMs;
    line->bufferLimit = m_readBufferSize;
    m_line = std::move(line);
    // Reads return at once with what the driver holds; the thread waits on the device instead.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetupComm(device, 16'384, 16'384) || !applySettings() ||
        !::SetCommTimeouts(device, &timeouts) ||
        // Received bytes only: Wine ends a wait that also asks for line errors at once on a
        // device without error counters. ClearCommError collects the errors at every look.
        !::SetCommMask(device, EV_RXCHAR) || !::PurgeComm(device, PURGE_RXCLEAR | PURGE_TXCLEAR)) {
        m_line.reset();
        m_error = UnsupportedOperationError;
        return false;
    }
    m_line->baud = m_baud;
    Line* served = m_line.get();
    const quint64 number = served->number;
    // Called on the line's thread; runs on the owner's.
    const auto tellOwner = [this, number](SerialPortError error) {
        QMetaObject::invokeMethod(
            this,
            [this, number, error] {
                if (!m_line || m_line->number != number)
                    return; // from a line already closed
                if (error != NoError) {
                    lineFailed(error);
                    return;
                }
                {
                    const std::lock_guard lock(m_line->mutex);
                    m_line->readyPending = false;
                }
                Q_EMIT readyRead();
            },
            Qt::QueuedConnection);
    };
    served->thread = std::thread([served, tellOwner] { served->serve(tellOwner); });
    return true;
}

void WinSerialPort::Line::serve(const std::function<void(SerialPortError)>& tell) {
    auto owned = std::make_unique<Pending>();
    Pending& io = *owned;
    bool gone = false;
    // A failed call is a reason to look, not a removal: drivers fail a wait or a read for their
    // own reasons (Wine on a pty ends every wait at once). The device is gone only when it no
    // longer answers; until then the failed step is simply tried again at the next look.
    const auto failed = [this, &io, &gone](DWORD error) {
        if (error == 0)
            return false;
        gone = !answers();
        io.rearmAt = ::GetTickCount64() + kLookAgainMs;
        return gone;
    };
    while (!stop && !gone) {
        bool again = false;
        if (!io.waiting && ::GetTickCount64() >= io.rearmAt) {
            io.mask = 0;
            if (::WaitCommEvent(device, &io.mask, &io.waitOv)) {
                failed(collect(io, tell));
                again = true; // waited for again at once, once a write has had its turn
            } else if (::GetLastError() == ERROR_IO_PENDING) {
                io.waiting = true;
            } else {
                failed(::GetLastError());
            }
        }
        if (gone || failed(startWrite(io)))
            break;
        if (again)
            continue;
        // Only the events of what is pending: the wake-up, the wait, the write.
        std::array<HANDLE, 3> handles{wake.handle, nullptr, nullptr};
        DWORD count = 1;
        if (io.waiting)
            handles[count++] = io.waited.handle;
        if (!io.writing.isEmpty())
            handles[count++] = io.wrote.handle;
        const DWORD which = ::WaitForMultipleObjects(count, handles.data(), FALSE, kLookAgainMs);
        const HANDLE signalled =
            which < WAIT_OBJECT_0 + count ? handles[which - WAIT_OBJECT_0] : nullptr;
        if (signalled == wake.handle)
            ::ResetEvent(wake.handle);
        // A wait's end is looked for at every pass: its event may have come before its result.
        if (io.waiting && (signalled == io.waited.handle || HasOverlappedIoCompleted(&io.waitOv)) &&
            failed(endWait(io)))
            break;
        if (signalled == io.wrote.handle) {
            DWORD done = 0;
            const bool sent = ::GetOverlappedResult(device, &io.writeOv, &done, FALSE);
            const DWORD error = sent ? 0 : ::GetLastError();
            if (error == ERROR_IO_INCOMPLETE) {
                ::ResetEvent(io.wrote.handle); // not ended after all: startWrite looks again
            } else {
                io.writing.clear();
                if (failed(error))
                    break;
                continue;
            }
        }
        failed(collect(io, tell));
    }
    if (!gone)
        drainOutgoing(io); // what the program sent before the close still goes out
    else
        collect(io, tell); // what the driver still holds is the instrument's, if it answers
    // The owner hears of the removal after the bytes collected before it.
    if (gone && !stop)
        tell(ResourceError);
    // Left to a driver that never ends its I/O, rather than freed under it.
    if (!settle(io)) [[maybe_unused]]
        const Pending* given = owned.release();
}

DWORD WinSerialPort::Line::endWait(Pending& io) {
    DWORD done = 0;
    if (::GetOverlappedResult(device, &io.waitOv, &done, FALSE)) {
        io.waiting = false;
        return 0;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_INCOMPLETE) {
        // Wine may signal the event before it writes the wait's result: the wait goes on, and its
        // end is seen at a later pass.
        ::ResetEvent(io.waited.handle);
        return 0;
    }
    io.waiting = false;
    // A driver may end a wait for its own reasons: waited for again after the next look.
    io.rearmAt = ::GetTickCount64() + kLookAgainMs;
    return error == ERROR_OPERATION_ABORTED ? 0 : error;
}

bool WinSerialPort::Line::answers() {
    COMSTAT status{};
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return clearErrors(status) == 0 && ::GetCommState(device, &dcb) &&
           comPortListed(name, systemPortScan());
}

DWORD WinSerialPort::Line::clearErrors(COMSTAT& status) {
    DWORD flags = 0;
    if (!::ClearCommError(device, &flags, &status))
        return ::GetLastError();
    const std::lock_guard lock(mutex);
    counters.brk += (flags & CE_BREAK) ? 1 : 0;
    counters.frame += (flags & CE_FRAME) ? 1 : 0;
    counters.overrun += (flags & CE_OVERRUN) ? 1 : 0;
    counters.bufOverrun += (flags & CE_RXOVER) ? 1 : 0;
    counters.parity += (flags & CE_RXPARITY) ? 1 : 0;
    return 0;
}

DWORD WinSerialPort::Line::collect(Pending& io, const std::function<void(SerialPortError)>& tell) {
    DWORD got = 0;
    if (io.readPending) {
        // A read that outlasted its wait: its bytes are taken once it ends; until then nothing
        // more is asked of the driver.
        if (!HasOverlappedIoCompleted(&io.readOv))
            return ERROR_IO_INCOMPLETE;
        io.readPending = false;
        if (::GetOverlappedResult(device, &io.readOv, &got, FALSE))
            take(io.reading.first(static_cast<qsizetype>(got)), io.discardsAtRead, tell);
    }
    // The driver is asked without the lock, so the owner never waits on a slow driver.
    COMSTAT status{};
    if (const DWORD error = clearErrors(status); error != 0)
        return error;
    qint64 room = status.cbInQue;
    quint64 discardsBefore = 0;
    {
        const std::lock_guard lock(mutex);
        // Past the limit the bytes wait in the driver, not in memory nobody frames.
        if (bufferLimit > 0)
            room = std::min(room, bufferLimit - received.size());
        discardsBefore = discards;
    }
    if (room <= 0)
        return 0;
    io.reading.resize(static_cast<qsizetype>(room));
    // The timeouts make the read return at once with what the driver holds.
    io.discardsAtRead = discardsBefore;
    if (!::ReadFile(device, io.reading.data(), static_cast<DWORD>(room), &got, &io.readOv)) {
        if (::GetLastError() != ERROR_IO_PENDING)
            return ::GetLastError();
        io.readPending = true;
        if (::WaitForSingleObject(io.read.handle, kSettleMs) != WAIT_OBJECT_0)
            return ERROR_IO_INCOMPLETE;
        io.readPending = false;
        if (!::GetOverlappedResult(device, &io.readOv, &got, FALSE))
            return ::GetLastError();
    }
    take(io.reading.first(static_cast<qsizetype>(got)), discardsBefore, tell);
    return 0;
}

void WinSerialPort::Line::take(const QByteArray& bytes, quint64 discardsBefore,
                               const std::function<void(SerialPortError)>& tell) {
    const std::lock_guard lock(mutex);
    // Read before a discard the owner asked for meanwhile: discarded with the rest.
    if (bytes.isEmpty() || discards != discardsBefore)
        return;
    received += bytes;
    arrivals.push_back({bytes.size(), nowMs ? nowMs() : 0});
    if (!readyPending) {
        readyPending = true;
        tell(NoError);
    }
}

DWORD WinSerialPort::Line::startWrite(Pending& io) {
    // A write may end while the loop sees only received data: its end is looked for here too.
    if (!io.writing.isEmpty()) {
        if (!HasOverlappedIoCompleted(&io.writeOv))
            return 0;
        DWORD sent = 0;
        const bool done = ::GetOverlappedResult(device, &io.writeOv, &sent, FALSE);
        io.writing.clear();
        if (!done)
            return ::GetLastError();
    }
    {
        const std::lock_guard lock(mutex);
        io.writing.swap(outgoing);
    }
    if (io.writing.isEmpty())
        return 0;
    DWORD sent = 0;
    if (::WriteFile(device, io.writing.constData(), static_cast<DWORD>(io.writing.size()), &sent,
                    &io.writeOv)) {
        io.writing.clear();
        return 0;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING)
        return 0;
    io.writing.clear(); // nothing is under way that a close would have to wait for
    return error;
}

void WinSerialPort::Line::drainOutgoing(Pending& io) {
    qsizetype bytes = io.writing.size();
    {
        const std::lock_guard lock(mutex);
        bytes += outgoing.size();
    }
    // Ten bits a byte on the line; a device that takes nothing holds the close no longer than
    // kMaxDrainMs.
    const ULONGLONG lineMs =
        static_cast<ULONGLONG>(bytes) * 10'000U / static_cast<ULONGLONG>(std::max(baud.load(), 1));
    const ULONGLONG until =
        ::GetTickCount64() + std::min<ULONGLONG>(kDrainSlackMs + lineMs, kMaxDrainMs);
    while (startWrite(io) == 0 && !io.writing.isEmpty()) {
        const ULONGLONG now = ::GetTickCount64();
        DWORD sent = 0;
        if (now >= until ||
            ::WaitForSingleObject(io.wrote.handle, static_cast<DWORD>(until - now)) !=
                WAIT_OBJECT_0 ||
            !::GetOverlappedResult(device, &io.writeOv, &sent, FALSE))
            return;
        io.writing.clear();
    }
}

bool WinSerialPort::Line::settle(Pending& io) {
    if (!io.waiting && io.writing.isEmpty() && !io.readPending)
        return true;
    ::CancelIo(device);
    bool settled = true;
    for (const auto& [pending, event] : {std::pair{io.waiting, io.waited.handle},
                                         std::pair{!io.writing.isEmpty(), io.wrote.handle},
                                         std::pair{io.readPending, io.read.handle}}) {
        if (pending && ::WaitForSingleObject(event, kSettleMs) != WAIT_OBJECT_0)
            settled = false;
    }
    // A read that ended after all still brought the instrument's bytes.
    DWORD got = 0;
    if (settled && io.readPending && ::GetOverlappedResult(device, &io.readOv, &got, FALSE) &&
        got > 0) {
        const std::lock_guard lock(mutex);
        received.append(io.reading.constData(), static_cast<qsizetype>(got));
        arrivals.push_back({static_cast<qint64>(got), nowMs ? nowMs() : 0});
    }
    return settled;
}

void WinSerialPort::lineFailed(SerialPortError error) {
    m_error = error;
    Q_EMIT errorOccurred(error);
}

void WinSerialPort::stopReading() {
    if (!m_line || !m_line->thread.joinable())
        return;
    m_line->stop = true;
    ::SetEvent(m_line->wake.handle);
    m_line->thread.join();
}

void WinSerialPort::close() {
    // The line's thread is joined before its handle closes.
    m_line.reset();
}

bool WinSerialPort::clear(Direction direction) {
    if (!m_line)
        return false;
    const std::lock_guard lock(m_line->mutex);
    if (direction & Input) {
        m_line->received.clear();
        m_line->arrivals.clear();
        ++m_line->discards;
    }
    if (direction & Output)
        m_line->outgoing.clear();
    const DWORD purge =
        ((direction & Input) ? PURGE_RXCLEAR : 0U) | ((direction & Output) ? PURGE_TXCLEAR : 0U);
    return ::PurgeComm(m_line->device, purge) != FALSE;
}

qint64 WinSerialPort::bytesAvailable() const {
    if (!m_line)
        return 0;
    const std::lock_guard lock(m_line->mutex);
    return m_line->received.size();
}

qint64 WinSerialPort::read(char* data, qint64 size) {
    if (!m_line || size <= 0)
        return 0;
    bool wasFull = false;
    qsizetype taken = 0;
    {
        const std::lock_guard lock(m_line->mutex);
        QByteArray& received = m_line->received;
        wasFull = m_line->bufferLimit > 0 && received.size() >= m_line->bufferLimit;
        taken = static_cast<qsizetype>(std::min<qint64>(size, received.size()));
        std::copy_n(received.constData(), taken, data);
        received.remove(0, taken);
    }
    // What waited in the driver behind a full buffer is read now rather than at the next look.
    if (wasFull)
        ::SetEvent(m_line->wake.handle);
    return taken;
}

QByteArray WinSerialPort::read(qint64 size) {
    QByteArray bytes(static_cast<qsizetype>(std::max<qint64>(0, std::min(size, bytesAvailable()))),
                     Qt::Uninitialized);
    bytes.resize(static_cast<qsizetype>(read(bytes.data(), bytes.size())));
    return bytes;
}

qint64 WinSerialPort::write(const QByteArray& bytes) {
    if (!m_line)
        return -1;
    {
        const std::lock_guard lock(m_line->mutex);
        m_line->outgoing += bytes;
    }
    ::SetEvent(m_line->wake.handle);
    return bytes.size();
}

bool WinSerialPort::driveModemLine(int line, bool on) const {
    const bool dtr = line == ModemLine::kDtr;
    const DWORD function = dtr ? (on ? SETDTR : CLRDTR) : (on ? SETRTS : CLRRTS);
    if (!m_line || !::EscapeCommFunction(m_line->device, function))
        return false;
    (dtr ? m_line->dtr : m_line->rts) = on;
    return true;
}

void* WinSerialPort::nativeHandle() const {
    return m_line ? m_line->device : nullptr;
}

std::vector<WinSerialPort::Arrival> WinSerialPort::takeArrivals() {
    if (!m_line)
        return {};
    const std::lock_guard lock(m_line->mutex);
    return std::exchange(m_line->arrivals, {});
}

LineCounters WinSerialPort::lineCounters() const {
    if (!m_line)
        return {};
    const std::lock_guard lock(m_line->mutex);
    return m_line->counters;
}

namespace {

DriverAnswer failure() {
    // A device without modem lines (a virtual port) refuses the question; that is no fault of
    // the line.
    const DWORD error = ::GetLastError();
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
                   error == ERROR_INVALID_PARAMETER || error == ERROR_GEN_FAILURE
               ? DriverAnswer::NotSupported
               : DriverAnswer::Failed;
}

} // namespace

DriverAnswer readLineCounters(PortHandle port, LineCounters& counters) {
    if (!port)
        return DriverAnswer::Failed;
    counters = port->lineCounters();
    return DriverAnswer::Done;
}

DriverAnswer readModemLines(PortHandle port, int& lines) {
    DWORD raw = 0;
    if (!port || !::GetCommModemStatus(port->nativeHandle(), &raw))
        return failure();
    lines = ((raw & MS_CTS_ON) ? ModemLine::kCts : 0) | ((raw & MS_DSR_ON) ? ModemLine::kDsr : 0) |
            ((raw & MS_RLSD_ON) ? ModemLine::kCd : 0) | ((raw & MS_RING_ON) ? ModemLine::kRing : 0);
    return DriverAnswer::Done;
}

DriverAnswer setModemLine(PortHandle port, int line, bool on) {
    if (!port)
        return DriverAnswer::Failed;
    return port->driveModemLine(line, on) ? DriverAnswer::Done : failure();
}

bool mayReadAndWrite(const QString&) {
    // Windows grants a serial device to whoever opens it first: a refused open means another
    // program holds it.
    return true;
}
