// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/platform/linux_serial_port.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

// The kernel's own termios (not the C library's), for termios2: a rate without a Bxxx
// constant (14400) reaches the driver only through it.
#include <asm/termbits.h>

namespace {

constexpr qint64 kReadPiece = 4096;
// How often a reading thread whose buffer is full looks whether the owner took from it.
constexpr int kFullLookMs = 10;

int64_t monoNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

LinuxSerialPort::SerialPortError errorOf(int code) {
    switch (code) {
    case ENOENT:
    case ENODEV:
        return LinuxSerialPort::DeviceNotFoundError;
    case EACCES:
    case EPERM:
    case EBUSY:
        return LinuxSerialPort::PermissionError;
    case EIO:
    case ENXIO:
    case EBADF:
    case EAGAIN:
        return LinuxSerialPort::ResourceError;
    case EINVAL:
    case ENOTTY:
        return LinuxSerialPort::UnsupportedOperationError;
    default:
        return LinuxSerialPort::OpenError;
    }
}

speed_t standardRate(qint32 baud) {
    struct Rate {
        qint32 baud;
        speed_t code;
    };
    static constexpr Rate kRates[] = {
        {50, B50},         {75, B75},         {110, B110},        {134, B134},
        {150, B150},       {200, B200},       {300, B300},        {600, B600},
        {1200, B1200},     {1800, B1800},     {2400, B2400},      {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},    {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800},  {500000, B500000},
        {576000, B576000}, {921600, B921600}, {1000000, B1000000}};
    for (const Rate& r : kRates)
        if (r.baud == baud)
            return r.code;
    return 0;
}

// Where programs that honour the UUCP convention look for the device's lock, as Qt does.
QString lockFilePath(const QString& device) {
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.prepend(QLatin1String("/LCK.."));
    const QString folders[] = {QStringLiteral("/var/lock"),
                               QStringLiteral("/etc/locks"),
                               QStringLiteral("/var/spool/locks"),
                               QStringLiteral("/var/spool/uucp"),
                               QStringLiteral("/tmp"),
                               QStringLiteral("/var/tmp"),
                               QStringLiteral("/var/lock/lockdev"),
                               QStringLiteral("/run/lock"),
                               QDir::tempPath()};
    for (const QString& folder : folders)
        if (QFileInfo(folder).isWritable())
            return folder + name;
    return {};
}

} // namespace

LinuxSerialPort::LinuxSerialPort(QObject* parent) : QObject(parent) {}

LinuxSerialPort::~LinuxSerialPort() {
    close();
}

void LinuxSerialPort::setReadBufferSize(qint64 size) {
    const std::lock_guard lock(m_mutex);
    m_readBufferSize = size;
}

bool LinuxSerialPort::setBaudRate(qint32 baud) {
    if (baud <= 0)
        return false;
    const qint32 previous = std::exchange(m_baud, baud);
    if (!isOpen() || applySettings())
        return true;
    m_baud = previous;
    return false;
}

bool LinuxSerialPort::setParity(Parity parity) {
    const Parity previous = std::exchange(m_parity, parity);
    if (!isOpen() || applySettings())
        return true;
    m_parity = previous;
    return false;
}

bool LinuxSerialPort::setDataBits(DataBits bits) {
    const DataBits previous = std::exchange(m_dataBits, bits);
    if (!isOpen() || applySettings())
        return true;
    m_dataBits = previous;
    return false;
}

bool LinuxSerialPort::setStopBits(StopBits bits) {
    // The tty driver has no 1.5 stop bits.
    if (bits == OneAndHalfStop) {
        m_error = UnsupportedOperationError;
        return false;
    }
    const StopBits previous = std::exchange(m_stopBits, bits);
    if (!isOpen() || applySettings())
        return true;
    m_stopBits = previous;
    return false;
}

bool LinuxSerialPort::applySettings() {
    termios tio{};
    if (::ioctl(m_fd, TCGETS, &tio) != 0) {
        m_error = errorOf(errno);
        return false;
    }
    // Raw bytes, no echo, no flow control, reads that never wait.
    tio.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                             IXOFF | IXANY | INPCK);
    tio.c_iflag |= IGNPAR;
    tio.c_oflag &= ~tcflag_t(OPOST);
    tio.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[m_dataBits - Data5];
    switch (m_parity) {
    case NoParity:
        break;
    case EvenParity:
        tio.c_cflag |= PARENB;
        break;
    case OddParity:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case SpaceParity:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    case MarkParity:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    }
    if (m_stopBits == TwoStop)
        tio.c_cflag |= CSTOPB;
    const speed_t standard = standardRate(m_baud);
    if (standard != 0) {
        tio.c_cflag &= ~tcflag_t(CBAUD | CIBAUD);
        tio.c_cflag |= standard;
    }
    if (::ioctl(m_fd, TCSETS, &tio) != 0) {
        m_error = errorOf(errno);
        return false;
    }
    if (standard != 0)
        return true;
    // A rate of its own: through termios2, which user-mode emulation may lack.
    termios2 tio2{};
    if (::ioctl(m_fd, TCGETS2, &tio2) != 0) {
        m_error = UnsupportedOperationError;
        return false;
    }
    tio2.c_cflag &= ~tcflag_t(CBAUD | CIBAUD);
    tio2.c_cflag |= BOTHER;
    tio2.c_ispeed = static_cast<speed_t>(m_baud);
    tio2.c_ospeed = static_cast<speed_t>(m_baud);
    if (::ioctl(m_fd, TCSETS2, &tio2) != 0) {
        m_error = UnsupportedOperationError;
        return false;
    }
    return true;
}

bool LinuxSerialPort::open(QIODevice::OpenMode /*mode*/) {
    if (isOpen())
        return false;
    const QString lockPath = lockFilePath(m_name);
    auto lock = std::make_unique<QLockFile>(lockPath);
    // Another program (or port) holds it: as Qt reports it.
    if (lockPath.isEmpty() || !lock->tryLock()) {
        m_error = PermissionError;
        return false;
    }
    const int fd =
        ::open(QFile::encodeName(m_name).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_error = errorOf(errno);
        return false;
    }
    m_fd = fd;
    ::ioctl(m_fd, TIOCEXCL); // others may not open it meanwhile; root still can
    termios before{};
    const bool saved = ::ioctl(m_fd, TCGETS, &before) == 0;
    if (!saved || !applySettings()) {
        if (!saved)
            m_error = errorOf(errno);
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_restore = QByteArray(reinterpret_cast<const char*>(&before), sizeof before);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_lock = std::move(lock);
    {
        const std::lock_guard guard(m_mutex);
        m_buffer.clear();
        m_bufferAt = 0;
        m_arrivals.clear();
        m_unsent.clear();
        m_announced = false;
        m_fresh = false;
        m_lastReadyNs = 0;
        m_stopping = false;
        m_lineGone = false;
        ++m_generation;
    }
    m_thread = std::thread([this] { run(); });
    return true;
}

void LinuxSerialPort::stopThread() {
    if (!m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    const uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
    m_thread.join();
}

void LinuxSerialPort::close() {
    if (!isOpen())
        return;
    stopThread();
    {
        const std::lock_guard lock(m_mutex);
        if (!m_unsent.isEmpty()) // the last of a send, for the driver to drain at the close
            (void)!::write(m_fd, m_unsent.constData(), static_cast<size_t>(m_unsent.size()));
        m_unsent.clear();
        m_buffer.clear();
        m_bufferAt = 0;
        m_arrivals.clear();
        m_fresh = false;
        ++m_generation;
    }
    if (m_restore.size() == sizeof(termios))
        ::ioctl(m_fd, TCSETS, m_restore.constData());
    ::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    m_fd = -1;
    ::close(m_wake);
    m_wake = -1;
    m_lock.reset();
}

bool LinuxSerialPort::clear(Direction direction) {
    if (!isOpen())
        return false;
    const std::lock_guard lock(m_mutex);
    if (direction & Input) {
        m_buffer.clear();
        m_bufferAt = 0;
        m_arrivals.clear();
        m_fresh = false;
    }
    if (direction & Output)
        m_unsent.clear();
    const int queue = direction == (Input | Output) ? TCIOFLUSH
                      : direction & Input           ? TCIFLUSH
                                                    : TCOFLUSH;
    return ::ioctl(m_fd, TCFLSH, queue) == 0;
}

qint64 LinuxSerialPort::bytesAvailable() const {
    const std::lock_guard lock(m_mutex);
    return m_buffer.size() - m_bufferAt;
}

qint64 LinuxSerialPort::read(char* data, qint64 size) {
    const std::lock_guard lock(m_mutex);
    const qint64 n = std::min<qint64>(size, m_buffer.size() - m_bufferAt);
    if (n <= 0)
        return 0;
    std::memcpy(data, m_buffer.constData() + m_bufferAt, static_cast<size_t>(n));
    m_bufferAt += n;
    if (m_bufferAt == m_buffer.size()) {
        m_buffer.clear(); // keeps its room for the next reads
        m_bufferAt = 0;
    }
    return n;
}

QByteArray LinuxSerialPort::read(qint64 size) {
    QByteArray bytes(static_cast<qsizetype>(std::max<qint64>(0, std::min(size, bytesAvailable()))),
                     Qt::Uninitialized);
    bytes.resize(static_cast<qsizetype>(read(bytes.data(), bytes.size())));
    return bytes;
}

qint64 LinuxSerialPort::write(const QByteArray& bytes) {
    if (!isOpen())
        return -1;
    const std::lock_guard lock(m_mutex);
    qsizetype at = 0;
    if (m_unsent.isEmpty()) {
        const ssize_t n = ::write(m_fd, bytes.constData(), static_cast<size_t>(bytes.size()));
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            m_error = WriteError;
            return -1;
        }
        at = std::max<qsizetype>(n, 0);
    }
    if (at < bytes.size()) {
        // The driver's queue is full: the reading thread hands over the rest as it drains.
        m_unsent += bytes.sliced(at);
        const uint64_t one = 1;
        (void)!::write(m_wake, &one, sizeof one);
    }
    return bytes.size();
}

void LinuxSerialPort::stopReading() {
    if (!isOpen())
        return;
    stopThread();
    const std::lock_guard lock(m_mutex);
    readFromDriver();
}

std::vector<LinuxSerialPort::Arrival> LinuxSerialPort::takeArrivals() {
    const std::lock_guard lock(m_mutex);
    std::vector<Arrival> arrivals(m_arrivals.begin(), m_arrivals.end());
    m_arrivals.clear();
    return arrivals;
}

qint64 LinuxSerialPort::readFromDriver() {
    qint64 total = 0;
    char piece[kReadPiece];
    for (;;) {
        const qint64 room =
            m_readBufferSize > 0 ? m_readBufferSize - (m_buffer.size() - m_bufferAt) : kReadPiece;
        if (room <= 0)
            break;
        const qint64 asked = std::min(room, kReadPiece);
        const ssize_t n = ::read(m_fd, piece, static_cast<size_t>(asked));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            m_lineGone = true;
            break;
        }
        if (n <= 0)
            break;
        if (m_bufferAt > 0 && m_bufferAt >= m_buffer.size() / 2) {
            m_buffer.remove(0, m_bufferAt);
            m_bufferAt = 0;
        }
        m_buffer.append(piece, n);
        m_arrivals.push_back({n, m_nowMs ? m_nowMs() : QDateTime::currentMSecsSinceEpoch()});
        m_fresh = true;
        total += n;
        // A short read took all the driver held: asking again would only hear EAGAIN, a third
        // of this thread's system calls at a UART's pace.
        if (n < asked)
            break;
    }
    return total;
}

void LinuxSerialPort::announce(int64_t nowNs) {
    m_announced = true;
    m_lastReadyNs = nowNs;
    const uint64_t generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            {
                const std::lock_guard lock(m_mutex);
                if (generation != m_generation)
                    return;
                // Whatever came until now is taken by the handlers of this one.
                m_announced = false;
                m_fresh = false;
            }
            Q_EMIT readyRead();
        },
        Qt::QueuedConnection);
}

void LinuxSerialPort::run() {
    pthread_setname_np(pthread_self(), "serial line");
    int timeoutMs = -1;
    for (;;) {
        short events = 0;
        {
            const std::lock_guard lock(m_mutex);
            const bool full =
                m_readBufferSize > 0 && m_buffer.size() - m_bufferAt >= m_readBufferSize;
            events = static_cast<short>((full ? 0 : POLLIN) | (m_unsent.isEmpty() ? 0 : POLLOUT));
            if (full)
                timeoutMs = timeoutMs < 0 ? kFullLookMs : std::min(timeoutMs, kFullLookMs);
        }
        pollfd fds[2] = {{m_fd, events, 0}, {m_wake, POLLIN, 0}};
        if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR)
            fds[0].revents = POLLERR;
        const std::lock_guard lock(m_mutex);
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            (void)!::read(m_wake, &count, sizeof count);
        }
        if (m_stopping)
            return;
        const int64_t now = monoNs();
        if ((fds[0].revents & POLLOUT) && !m_unsent.isEmpty()) {
            const ssize_t n =
                ::write(m_fd, m_unsent.constData(), static_cast<size_t>(m_unsent.size()));
            if (n > 0)
                m_unsent.remove(0, n);
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
            readFromDriver();
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            m_lineGone = true;
        if (m_lineGone) {
            // The last bytes first, then the news: the owner takes them before it closes.
            if (m_fresh && !m_announced)
                announce(now);
            const uint64_t generation = m_generation;
            QMetaObject::invokeMethod(
                this,
                [this, generation] {
                    if (generation != m_generation || !isOpen())
                        return;
                    m_error = ResourceError;
                    Q_EMIT errorOccurred(ResourceError);
                },
                Qt::QueuedConnection);
            return;
        }
        timeoutMs = -1;
        if (m_fresh && !m_announced) {
            const int64_t sinceNs = now - m_lastReadyNs;
            const int64_t gapNs = int64_t{kReadyGapMs} * 1'000'000;
            if (m_lastReadyNs == 0 || sinceNs >= gapNs)
                announce(now);
            else
                timeoutMs = static_cast<int>((gapNs - sinceNs + 999'999) / 1'000'000);
        }
    }
}
