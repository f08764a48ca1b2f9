// SPDX-License-Identifier: GPL-3.0-or-later
// The serial layer's questions to the Linux tty driver: the kernel's line-error counters
// (TIOCGICOUNT) and the modem lines (TIOCMGET, TIOCMBIS, TIOCMBIC).

#include "acquisition/platform/platform_serial.h"

#include <QFile>
#include <array>
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct BitPair {
    int line; // ModemLine bit
    int tiocm;
};
constexpr std::array<BitPair, 6> kModemBits{{{ModemLine::kDtr, TIOCM_DTR},
                                             {ModemLine::kRts, TIOCM_RTS},
                                             {ModemLine::kCts, TIOCM_CTS},
                                             {ModemLine::kDsr, TIOCM_DSR},
                                             {ModemLine::kCd, TIOCM_CD},
                                             {ModemLine::kRing, TIOCM_RI}}};

DriverAnswer failure() {
    // ptys and some USB drivers have no counters or modem lines; that is not a fault of the line.
    return errno == ENOTTY || errno == EINVAL ? DriverAnswer::NotSupported : DriverAnswer::Failed;
}

} // namespace

DriverAnswer readLineCounters(PortHandle port, LineCounters& counters) {
    serial_icounter_struct raw{};
    if (::ioctl(port, TIOCGICOUNT, &raw) != 0)
        return failure();
    counters = {raw.brk, raw.frame, raw.overrun, raw.buf_overrun, raw.parity};
    return DriverAnswer::Done;
}

DriverAnswer readModemLines(PortHandle port, int& lines) {
    int raw = 0;
    if (::ioctl(port, TIOCMGET, &raw) != 0)
        return failure();
    lines = 0;
    for (const BitPair& bit : kModemBits) {
        if (raw & bit.tiocm)
            lines |= bit.line;
    }
    return DriverAnswer::Done;
}

DriverAnswer setModemLine(PortHandle port, int line, bool on) {
    int raw = 0;
    for (const BitPair& bit : kModemBits) {
        if (line & bit.line)
            raw |= bit.tiocm;
    }
    return ::ioctl(port, on ? TIOCMBIS : TIOCMBIC, &raw) == 0 ? DriverAnswer::Done : failure();
}

bool mayReadAndWrite(const QString& device) {
    return ::access(QFile::encodeName(device).constData(), R_OK | W_OK) == 0;
}
