// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ui/trend_series.h"

#include <QByteArray>
#include <QByteArrayView>

/// The readings of the running acquisition: the chosen number of each record against its
/// arrival, kept whether or not the trend window is open, so it shows the run from its START.
class Trend {
public:
    explicit Trend(qsizetype maxPoints = TrendSeries::kMaxPoints) : m_series(maxPoints) {}

    void beginRun(qint64 startMs);
    /// A record's text as the instrument sent it, without the stamp.
    void take(QByteArrayView text, qint64 atMs);
    /// Which number of a record is drawn, from 1. The history holds the number chosen before,
    /// so it starts anew.
    void chooseNumber(int which);
    int number() const { return m_number; }

    const TrendSeries& series() const { return m_series; }
    qint64 withoutNumber() const { return m_withoutNumber; } // records skipped
    const QByteArray& unit() const { return m_unit; }        // of the latest reading
    qint64 runStartMs() const { return m_runStartMs; }
    /// Grows with every record taken and every new start: whether there is anything new to draw.
    quint64 changes() const { return m_changes; }

private:
    TrendSeries m_series;
    int m_number = 1;
    qint64 m_withoutNumber = 0;
    QByteArray m_unit;
    qint64 m_runStartMs = 0;
    quint64 m_changes = 0;
};
