// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/trend.h"

#include "acquisition/core/reading_number.h"

void Trend::beginRun(qint64 startMs) {
    m_series.clear();
    m_withoutNumber = 0;
    m_unit.clear();
    m_runStartMs = startMs;
    ++m_changes;
}

void Trend::take(QByteArrayView text, qint64 atMs) {
    ++m_changes;
    const std::optional<Reading> reading = nthNumber(text, m_number);
    if (!reading) {
        ++m_withoutNumber;
        return;
    }
    m_series.add(atMs, reading->value);
    m_unit = reading->unit;
}

void Trend::chooseNumber(int which) {
    if (which == m_number)
        return;
    m_number = which;
    beginRun(m_runStartMs);
}
