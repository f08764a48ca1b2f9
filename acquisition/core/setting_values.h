// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <optional>

// Settings as an operator types them, in the Setting window or on the command line: both take
// what one takes and refuse what one refuses.

inline constexpr double kMinAskSeconds = 0.1;
inline constexpr double kMaxAskSeconds = 86'400;

/// The interval typed in seconds, a comma as good as a point; nothing for any other text, or
/// for a number outside what an instrument can be asked at.
std::optional<qint64> askIntervalMs(QString text);

/// The values of a record that get columns of their own, as typed; nothing for any other text.
std::optional<int16_t> csvNumbersTyped(const QString& text);
