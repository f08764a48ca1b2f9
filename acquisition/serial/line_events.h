// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/platform/platform_serial.h"

#include <QList>
#include <QString>
#include <array>
#include <cstdint>

// Event codes for the conditions the serial layer watches on an open line. Line errors keep
// the old serial control's numbers; line-state changes use its small numbers, outside the
// error range, so the window treats them as non-error events.
namespace LineEvent {
inline constexpr int16_t kCtsChanged = 3;
inline constexpr int16_t kDsrChanged = 4;
inline constexpr int16_t kCdChanged = 5;
inline constexpr int16_t kRingChanged = 6;
inline constexpr int16_t kBreak = 1001;
inline constexpr int16_t kCtsTimeout = 1002;
inline constexpr int16_t kDsrTimeout = 1003;
inline constexpr int16_t kFraming = 1004;
inline constexpr int16_t kOverrun = 1006;
inline constexpr int16_t kCdTimeout = 1007;
inline constexpr int16_t kReceiveOverflow = 1008;
inline constexpr int16_t kParity = 1009;
inline constexpr int16_t kTransmitFull = 1010;
inline constexpr int16_t kDcbError = 1011;
} // namespace LineEvent

/// A line error and the text lbl_title shows for it.
struct LineError {
    int16_t code;
    const char* text; // ASCII
};

/// The line errors, each with its fixed text. Every other code (1005, the line-state changes,
/// any code not listed) is no error.
inline constexpr std::array<LineError, 10> kLineErrors{{
    {LineEvent::kBreak, "Break signal detected"},
    {LineEvent::kCtsTimeout, "CTS timeout detected"},
    {LineEvent::kDsrTimeout, "DSR timeout detected"},
    {LineEvent::kFraming, "Framing error detected"},
    {LineEvent::kOverrun, "Over run error detected"},
    {LineEvent::kCdTimeout, "CD timeout detected"},
    {LineEvent::kReceiveOverflow, "Receive buffer overflow detected"},
    {LineEvent::kParity, "Parity error detected"},
    {LineEvent::kTransmitFull, "Transfer buffer full error detected"},
    {LineEvent::kDcbError, "DCB get error detected"},
}};

/// The text of a line error, or an empty text for any other code.
QString lineErrorText(int16_t code);

/// One event code per counter that moved between two readings, in a fixed order.
QList<int16_t> counterEvents(const LineCounters& before, const LineCounters& after);

/// One event code per line the instrument drives (CTS, DSR, CD, RI) that changed state
/// between two readings of the ModemLine bits.
QList<int16_t> modemLineEvents(int before, int after);
