// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/pty_instrument.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

// The kernel's termios2 (asm/termbits.h cannot be included next to termios.h); its speed
// fields hold the real rate even for rates without a B constant.
struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};

} // namespace

PtyInstrument::PtyInstrument() {
    char name[128] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    termios raw{};
    ::tcgetattr(m_slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(m_slave, TCSANOW, &raw);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // A program the test starts must not hold the instrument's side: it would never hang up.
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(name);
}

PtyInstrument::~PtyInstrument() {
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

bool PtyInstrument::write(const QByteArray& bytes) {
    qsizetype done = 0;
    QElapsedTimer timer;
    timer.start();
    while (isOpen() && done < bytes.size() && timer.elapsed() < 2000) {
        const ssize_t n =
            ::write(m_master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (errno == EAGAIN)
            QCoreApplication::processEvents(); // let the logger drain the pty
        else
            break;
    }
    return done == bytes.size();
}

qsizetype PtyInstrument::offer(const QByteArray& bytes) {
    const ssize_t n =
        isOpen() ? ::write(m_master, bytes.constData(), static_cast<size_t>(bytes.size())) : -1;
    return n > 0 ? n : 0;
}

QByteArray PtyInstrument::read(qsizetype count, int timeoutMs) {
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    while (isOpen() && got.size() < count && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents();
        pollfd fd{m_master, POLLIN, 0};
        if (::poll(&fd, 1, 5) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, n);
    }
    return got;
}

QByteArray PtyInstrument::readFor(int ms) {
    return read(1 << 30, ms);
}

uint32_t lineSpeed(int fd) {
    KernelTermios2 tio{};
    constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);
    if (fd >= 0 && ::ioctl(fd, kGetTermios2, &tio) == 0)
        return tio.c_ospeed;
    // Without termios2 (user-mode emulation) only the standard rates can be read back.
    termios plain{};
    if (fd < 0 || ::tcgetattr(fd, &plain) != 0)
        return 0;
    constexpr std::pair<speed_t, uint32_t> kStandard[] = {
        {B1200, 1200},     {B2400, 2400},     {B4800, 4800},    {B9600, 9600},
        {B19200, 19200},   {B38400, 38400},   {B57600, 57600},  {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto& [constant, baud] : kStandard)
        if (::cfgetospeed(&plain) == constant)
            return baud;
    return 0;
}

bool customRatesReachTheDriver() {
    PtyInstrument probe;
    KernelTermios2 tio{};
    constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);
    return probe.isOpen() && ::ioctl(probe.slaveFd(), kGetTermios2, &tio) == 0;
}

bool canStartPrograms() {
    QProcess probe;
    probe.start(QStringLiteral("/bin/true"), {});
    return probe.waitForStarted() && probe.waitForFinished();
}

uint32_t PtyInstrument::lineSpeed() const {
    return ::lineSpeed(m_slave);
}

void PtyInstrument::closeMaster() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}
