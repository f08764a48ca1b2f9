// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/core/clock.h"

namespace {

// Years outside these four digits are written by Qt as it always did (signs, widths).
bool fourDigitYear(const LocalTime& t) {
    return t.year >= 1000 && t.year <= 9999;
}

QDateTime toDateTime(const LocalTime& t) {
    return QDateTime(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second, t.msec));
}

QByteArray viaQt(const LocalTime& t, const char* pattern) {
    return toDateTime(t).toString(QLatin1StringView(pattern)).toLatin1();
}

char* digits(char* out, int value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

} // namespace

LocalTime LocalTimeCache::at(qint64 msSinceEpoch) {
    // Floor division, so a time before the epoch keeps a positive millisecond part.
    qint64 second = msSinceEpoch / 1000;
    int msec = static_cast<int>(msSinceEpoch % 1000);
    if (msec < 0) {
        msec += 1000;
        --second;
    }
    if (!m_valid || second != m_second) {
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(second * 1000);
        const QDate date = local.date();
        const QTime time = local.time();
        m_fields = {date.year(),   date.month(),  date.day(), time.hour(),
                    time.minute(), time.second(), 0};
        m_second = second;
        m_valid = true;
    }
    LocalTime t = m_fields;
    t.msec = msec;
    return t;
}

QByteArray stampText(const LocalTime& t, bool millis) {
    if (!fourDigitYear(t))
        return viaQt(t, millis ? "yyyy/MM/dd,hh:mm:ss.zzz" : "yyyy/MM/dd,hh:mm:ss");
    char text[23];
    char* p = digits(text, t.year, 4);
    *p++ = '/';
    p = digits(p, t.month, 2);
    *p++ = '/';
    p = digits(p, t.day, 2);
    *p++ = ',';
    p = digits(p, t.hour, 2);
    *p++ = ':';
    p = digits(p, t.minute, 2);
    *p++ = ':';
    p = digits(p, t.second, 2);
    if (millis) {
        *p++ = '.';
        p = digits(p, t.msec, 3);
    }
    return QByteArray(text, p - text);
}

QByteArray fileNameText(const LocalTime& t, bool hourly) {
    if (!fourDigitYear(t))
        return viaQt(t, hourly ? "yyyyMMdd_hh" : "yyyyMMdd");
    char text[11];
    char* p = digits(text, t.year, 4);
    p = digits(p, t.month, 2);
    p = digits(p, t.day, 2);
    if (hourly) {
        *p++ = '_';
        p = digits(p, t.hour, 2);
    }
    return QByteArray(text, p - text);
}

QByteArray shortDateText(const LocalTime& t) {
    if (!fourDigitYear(t))
        return viaQt(t, "yy/MM/dd");
    char text[8];
    char* p = digits(text, t.year % 100, 2);
    *p++ = '/';
    p = digits(p, t.month, 2);
    *p++ = '/';
    p = digits(p, t.day, 2);
    return QByteArray(text, p - text);
}

QByteArray timeText(const LocalTime& t) {
    char text[8];
    char* p = digits(text, t.hour, 2);
    *p++ = ':';
    p = digits(p, t.minute, 2);
    *p++ = ':';
    p = digits(p, t.second, 2);
    return QByteArray(text, p - text);
}
