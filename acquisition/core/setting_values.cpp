// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/core/setting_values.h"

#include "acquisition/core/varlin_def.h"

#include <QLocale>
#include <cmath>

std::optional<qint64> askIntervalMs(QString text) {
    text = text.trimmed().replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double seconds = QLocale::c().toDouble(text, &ok);
    if (!ok || !(seconds >= kMinAskSeconds && seconds <= kMaxAskSeconds))
        return std::nullopt;
    return std::llround(seconds * 1000.0);
}

std::optional<int16_t> csvNumbersTyped(const QString& text) {
    bool ok = false;
    const int numbers = text.trimmed().toInt(&ok);
    if (!ok || numbers < 1 || numbers > kMostCsvNumbers)
        return std::nullopt;
    return static_cast<int16_t>(numbers);
}
