// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

/// The line speed set on the open terminal `fd`, in baud, as its driver keeps it (0 if unknown).
uint32_t lineSpeed(int fd);
/// Whether a rate without a B constant (14400) can reach a terminal driver here: user-mode
/// emulation (the arm64 tests on an amd64 machine) does not pass the termios2 ioctls on.
bool customRatesReachTheDriver();
/// Whether this process can start another one: user-mode emulation refuses the vfork-style
/// clone that QProcess uses.
bool canStartPrograms();

/// A pseudo-terminal whose master side the test drives as the instrument; the program under
/// test opens slavePath() as its serial port.
class PtyInstrument {
public:
    /// Opens a new pty with its slave in raw mode; isOpen() tells whether that worked.
    PtyInstrument();
    /// Closes both sides that are still open.
    ~PtyInstrument();
    PtyInstrument(const PtyInstrument&) = delete;
    PtyInstrument& operator=(const PtyInstrument&) = delete;

    /// True while the master side is open.
    bool isOpen() const { return m_master >= 0; }
    /// The device path the logger opens, e.g. "/dev/pts/3".
    QString slavePath() const { return m_slavePath; }
    /// Sends bytes to the logger; true when all of them reached the pty.
    bool write(const QByteArray& bytes);
    /// As much of `bytes` as the pty takes now, never waiting, as a UART without flow control
    /// sends: the count taken; the rest the line refused.
    qsizetype offer(const QByteArray& bytes);
    /// Collects what the logger sent until `count` bytes arrived or `timeoutMs` passed; runs
    /// the Qt event loop meanwhile so queued writes go out.
    QByteArray read(qsizetype count, int timeoutMs = 2000);
    /// Everything the logger sends within `ms`, for checking that nothing (more) is sent.
    QByteArray readFor(int ms);
    /// The line speed the logger set on the pty, in baud (0 if unknown).
    uint32_t lineSpeed() const;
    int slaveFd() const { return m_slave; }
    /// Hangs up the instrument's side, as when a USB adapter is unplugged.
    void closeMaster();

private:
    int m_master = -1;
    int m_slave = -1; // kept open so the master never sees a hang-up between the logger's opens
    QString m_slavePath;
};
