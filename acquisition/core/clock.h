// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDateTime>

/// The time now, to the millisecond; tests substitute a clock they drive.
class Clock {
public:
    virtual ~Clock() = default;
    /// Milliseconds since the epoch: cheap enough to note for every batch of received bytes,
    /// where the local date is not needed yet.
    virtual qint64 nowMs() const = 0;
};

class SystemClock final : public Clock {
public:
    qint64 nowMs() const override { return QDateTime::currentMSecsSinceEpoch(); }
};

/// A local date and time, field by field.
struct LocalTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int msec = 0;
};

/// Turns milliseconds since the epoch into local time. The offset from UTC never changes
/// within a second, so the system's time zone is asked once per second, not per record.
class LocalTimeCache {
public:
    LocalTime at(qint64 msSinceEpoch);

private:
    qint64 m_second = 0;
    bool m_valid = false;
    LocalTime m_fields;
};

/// The texts of QDateTime::toString for these patterns, built from the fields without parsing
/// a pattern: "yyyy/MM/dd,hh:mm:ss" with ".zzz" when millis.
QByteArray stampText(const LocalTime& t, bool millis);
/// "yyyyMMdd", with "_hh" when hourly.
QByteArray fileNameText(const LocalTime& t, bool hourly);
/// "yy/MM/dd" and "hh:mm:ss".
QByteArray shortDateText(const LocalTime& t);
QByteArray timeText(const LocalTime& t);
