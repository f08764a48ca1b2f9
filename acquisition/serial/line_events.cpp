// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/serial/line_events.h"

#include <algorithm>

QString lineErrorText(int16_t code) {
    const auto found = std::find_if(kLineErrors.begin(), kLineErrors.end(),
                                    [code](const LineError& error) { return error.code == code; });
    return found == kLineErrors.end() ? QString() : QString::fromLatin1(found->text);
}

QList<int16_t> counterEvents(const LineCounters& before, const LineCounters& after) {
    QList<int16_t> codes;
    // A counter that moved by several in one poll still means one condition to report.
    if (after.brk != before.brk)
        codes << LineEvent::kBreak;
    if (after.frame != before.frame)
        codes << LineEvent::kFraming;
    if (after.overrun != before.overrun)
        codes << LineEvent::kOverrun;
    if (after.bufOverrun != before.bufOverrun)
        codes << LineEvent::kReceiveOverflow;
    if (after.parity != before.parity)
        codes << LineEvent::kParity;
    return codes;
}

QList<int16_t> modemLineEvents(int before, int after) {
    const int changed = before ^ after;
    QList<int16_t> codes;
    if (changed & ModemLine::kCts)
        codes << LineEvent::kCtsChanged;
    if (changed & ModemLine::kDsr)
        codes << LineEvent::kDsrChanged;
    if (changed & ModemLine::kCd)
        codes << LineEvent::kCdChanged;
    if (changed & ModemLine::kRing)
        codes << LineEvent::kRingChanged;
    return codes;
}
