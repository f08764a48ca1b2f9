// SPDX-License-Identifier: GPL-3.0-or-later
// The serial device on the Win32 communications API. One thread per open port waits on the
// device with overlapped WaitCommEvent and collects what arrived with ClearCommError and
// ReadFile; it also writes what the program sends, so that nothing the program calls waits for
// the line. The owner's thread hears of received bytes and of a lost device through queued
// calls.

#include "acquisition/platform/platform_serial.h"

#include <QMetaObject>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <thread>

#include <windows.h>

namespace {

// How often the thread looks at the device even when it reported nothing: a driver that
// misses an EV_RXCHAR, or data left waiting while the buffer was full, is read at the latest
// then.
constexpr DWORD kLookAgainMs = 100;
// What a device pulled out answers: USB drivers' codes, and Wine's for a hung-up tty. Any other
// failure of a wait or read also ends the reading (there is no reading on), as a read error.
constexpr DWORD kRemovalErrors[] = {ERROR_ACCESS_DENIED, ERROR_OPERATION_ABORTED,
                                    ERROR_BAD_COMMAND,   ERROR_DEVICE_REMOVED,
                                    ERROR_NOT_READY,     ERROR_GEN_FAILURE};

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

struct WinSerialPort::Line {
    HANDLE device = INVALID_HANDLE_VALUE;
    Event wake; // the owner has something to write, wants bytes read again, or wants it gone
    std::atomic<bool> stop{false};
    std::thread thread;

    mutable std::mutex mutex; // guards what follows
    QByteArray received;
    QByteArray outgoing;
    qint64 bufferLimit = 0;    // 0: none
    bool readyPending = false; // a readyRead is on its way to the owner
    LineCounters counters;

    ~Line() {
        stop = true;
        ::SetEvent(wake.handle);
        if (thread.joinable())
            thread.join();
        if (device != INVALID_HANDLE_VALUE)
            ::CloseHandle(device);
    }
};

namespace {

bool isRemoval(DWORD error) {
    return std::find(std::begin(kRemovalErrors), std::end(kRemovalErrors), error) !=
           std::end(kRemovalErrors);
}

} // namespace

WinSerialPort::WinSerialPort(QObject* parent) : QObject(parent) {}

WinSerialPort::~WinSerialPort() {
    close();
}

void WinSerialPort::setReadBufferSize(qint64 size) {
    m_readBufferSize = size;
}

bool WinSerialPort::setBaudRate(qint32 baud) {
    const qint32 previous = m_baud;
    m_baud = baud;
    if (applySettings())
        return true;
    m_baud = previous;
    return false;
}

bool WinSerialPort::setParity(Parity parity) {
    const Parity previous = m_parity;
    m_parity = parity;
    if (applySettings())
        return true;
    m_parity = previous;
    return false;
}

bool WinSerialPort::setDataBits(DataBits bits) {
    const DataBits previous = m_dataBits;
    m_dataBits = bits;
    if (applySettings())
        return true;
    m_dataBits = previous;
    return false;
}

bool WinSerialPort::setStopBits(StopBits bits) {
    const StopBits previous = m_stopBits;
    m_stopBits = bits;
    if (applySettings())
        return true;
    m_stopBits = previous;
    return false;
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
    // No flow control of any kind; DTR and RTS are raised, and the program sets them itself.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // A byte with a parity or framing error is kept as it came; the error is reported apart.
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    return ::SetCommState(m_line->device, &dcb) != FALSE;
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
    Line* served = m_line.get();
    // Called on the line's thread; runs on the owner's.
    const auto tellOwner = [served, this](SerialPortError error) {
        QMetaObject::invokeMethod(
            this,
            [this, served, error] {
                if (m_line.get() != served)
                    return; // from a line already closed
                if (error != NoError) {
                    lineFailed(error);
                    return;
                }
                {
                    const std::lock_guard lock(served->mutex);
                    served->readyPending = false;
                }
                Q_EMIT readyRead();
            },
            Qt::QueuedConnection);
    };
    served->thread = std::thread([served, tellOwner] {
        Event waited;
        Event wrote;
        OVERLAPPED waitOv{};
        waitOv.hEvent = waited.handle;
        OVERLAPPED writeOv{};
        writeOv.hEvent = wrote.handle;
        DWORD mask = 0;
        bool waiting = false;
        QByteArray writing; // stays put while the driver sends it
        SerialPortError failure = NoError;

        const auto fail = [&failure](DWORD error) {
            failure = isRemoval(error) ? ResourceError : ReadError;
        };
        const auto collect = [served, &fail, &tellOwner]() {
            const std::lock_guard lock(served->mutex);
            DWORD flags = 0;
            COMSTAT status{};
            if (!::ClearCommError(served->device, &flags, &status)) {
                fail(::GetLastError());
                return;
            }
            served->counters.brk += (flags & CE_BREAK) ? 1 : 0;
            served->counters.frame += (flags & CE_FRAME) ? 1 : 0;
            served->counters.overrun += (flags & CE_OVERRUN) ? 1 : 0;
            served->counters.bufOverrun += (flags & CE_RXOVER) ? 1 : 0;
            served->counters.parity += (flags & CE_RXPARITY) ? 1 : 0;
            qint64 room = status.cbInQue;
            // Past the limit the bytes wait in the driver, not in memory nobody frames.
            if (served->bufferLimit > 0)
                room = std::min(room, served->bufferLimit - served->received.size());
            if (room <= 0)
                return;
            const qsizetype had = served->received.size();
            served->received.resize(had + static_cast<qsizetype>(room));
            Event done;
            OVERLAPPED readOv{};
            readOv.hEvent = done.handle;
            DWORD got = 0;
            if (!::ReadFile(served->device, served->received.data() + had, static_cast<DWORD>(room),
                            &got, &readOv)) {
                const DWORD error = ::GetLastError();
                if (error != ERROR_IO_PENDING ||
                    !::GetOverlappedResult(served->device, &readOv, &got, TRUE)) {
                    served->received.resize(had);
                    fail(error == ERROR_IO_PENDING ? ::GetLastError() : error);
                    return;
                }
            }
            served->received.resize(had + static_cast<qsizetype>(got));
            if (got > 0 && !served->readyPending) {
                served->readyPending = true;
                tellOwner(NoError);
            }
        };

        ULONGLONG rearmAt = 0;
        while (!served->stop && failure == NoError) {
            if (!waiting && ::GetTickCount64() >= rearmAt) {
                mask = 0;
                if (::WaitCommEvent(served->device, &mask, &waitOv)) {
                    collect();
                    continue;
                }
                const DWORD error = ::GetLastError();
                if (error != ERROR_IO_PENDING) {
                    fail(error);
                    break;
                }
                waiting = true;
            }
            if (writing.isEmpty()) {
                {
                    const std::lock_guard lock(served->mutex);
                    writing.swap(served->outgoing);
                }
                if (!writing.isEmpty()) {
                    DWORD sent = 0;
                    if (::WriteFile(served->device, writing.constData(),
                                    static_cast<DWORD>(writing.size()), &sent, &writeOv)) {
                        writing.clear();
                    } else if (::GetLastError() != ERROR_IO_PENDING) {
                        fail(::GetLastError());
                        break;
                    }
                }
            }
            // Only the events of what is pending: the wake-up, the wait, the write.
            std::array<HANDLE, 3> handles{served->wake.handle, nullptr, nullptr};
            DWORD count = 1;
            if (waiting)
                handles[count++] = waited.handle;
            if (!writing.isEmpty())
                handles[count++] = wrote.handle;
            const DWORD which =
                ::WaitForMultipleObjects(count, handles.data(), FALSE, kLookAgainMs);
            const HANDLE signalled =
                which < WAIT_OBJECT_0 + count ? handles[which - WAIT_OBJECT_0] : nullptr;
            if (signalled == served->wake.handle) {
                ::ResetEvent(served->wake.handle);
                collect();
            } else if (signalled == waited.handle) {
                DWORD unused = 0;
                waiting = false;
                if (!::GetOverlappedResult(served->device, &waitOv, &unused, FALSE)) {
                    const DWORD error = ::GetLastError();
                    if (error != ERROR_OPERATION_ABORTED) {
                        fail(error);
                        break;
                    }
                    // A driver may end a wait for its own reasons: the device is gone only if
                    // it no longer answers. Waited for again after the next look, not at once.
                    rearmAt = ::GetTickCount64() + kLookAgainMs;
                }
                collect();
            } else if (signalled == wrote.handle) {
                DWORD sent = 0;
                if (!::GetOverlappedResult(served->device, &writeOv, &sent, FALSE)) {
                    fail(::GetLastError());
                    break;
                }
                writing.clear();
            } else {
                collect();
            }
        }
        // Nothing may still write into the OVERLAPPEDs once they go out of scope.
        if (waiting || !writing.isEmpty()) {
            ::CancelIo(served->device);
            DWORD unused = 0;
            if (waiting)
                ::GetOverlappedResult(served->device, &waitOv, &unused, TRUE);
            if (!writing.isEmpty())
                ::GetOverlappedResult(served->device, &writeOv, &unused, TRUE);
        }
        if (failure != NoError && !served->stop)
            tellOwner(failure);
    });
    return true;
}

void WinSerialPort::lineFailed(SerialPortError error) {
    m_error = error;
    Q_EMIT errorOccurred(error);
}

void WinSerialPort::close() {
    // The line's thread is joined before its handle closes.
    m_line.reset();
}

bool WinSerialPort::clear(Direction direction) {
    if (!m_line)
        return false;
    const std::lock_guard lock(m_line->mutex);
    if (direction & Input)
        m_line->received.clear();
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

void* WinSerialPort::nativeHandle() const {
    return m_line ? m_line->device : nullptr;
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
    const DWORD function =
        line == ModemLine::kDtr ? (on ? SETDTR : CLRDTR) : (on ? SETRTS : CLRRTS);
    return ::EscapeCommFunction(port->nativeHandle(), function) ? DriverAnswer::Done : failure();
}

bool mayReadAndWrite(const QString&) {
    // Windows grants a serial device to whoever opens it first: a refused open means another
    // program holds it.
    return true;
}
