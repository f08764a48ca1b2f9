// SPDX-License-Identifier: GPL-3.0-or-later
#include "reference_model.h"

#include <QString>

namespace {

// Zero-padded decimal fields, formatted apart from QDateTime's own patterns.
template <typename... Fields> QByteArray printed(const char* format, Fields... fields) {
    return QString::asprintf(format, fields...).toLatin1();
}

QByteArray dateStamp(const QDateTime& t, bool millis) {
    const QDate d = t.date();
    const QTime h = t.time();
    QByteArray s = printed("%04d/%02d/%02d", d.year(), d.month(), d.day()) + "," +
                   printed("%02d:%02d:%02d", h.hour(), h.minute(), h.second());
    if (millis)
        s += printed(".%03d", h.msec());
    return s;
}

QByteArray dataFileName(const QDateTime& t, bool hourly) {
    const QDate d = t.date();
    QByteArray name = printed("%04d%02d%02d", d.year(), d.month(), d.day());
    if (hourly)
        name += printed("_%02d", t.time().hour());
    return name + ".txt";
}

QByteArray header(const QDateTime& t) {
    const QDate d = t.date();
    const QTime h = t.time();
    return " Recive Data ," + printed("%02d/%02d/%02d", d.year() % 100, d.month(), d.day()) + "," +
           printed("%02d:%02d:%02d", h.hour(), h.minute(), h.second()) + ",\r\n";
}

} // namespace

ModelOutput predict(const ModelInput& in) {
    ModelOutput out;
    const auto n = in.bytes.size();
    const auto timeOf = [&in](qsizetype i) { return in.start.addMSecs((i + 1) * in.stepMs); };

    // In step: everything through the third CR after START is thrown away.
    qsizetype i = 0;
    for (int crs = 0; crs < 3; ++i) {
        if (i == n)
            return out;
        crs += in.bytes.at(i) == '\r';
    }

    bool firstRecord = true;
    bool lineStarted = false; // any byte, kept or dropped, since the last CR
    QByteArray line;
    QByteArray stamp;
    const auto record = [&](const QDateTime& now) {
        const QByteArray text = in.stampDateTime ? stamp + "," + line : line;
        QByteArray& file = out.files[dataFileName(now, in.hourlyFiles)];
        if (file.isEmpty())
            file = header(now);
        if (!firstRecord)
            file += text + "\r\n";
        firstRecord = false;
        out.shown << text;
        line.clear();
        lineStarted = false;
    };
    for (; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(in.bytes.at(i));
        const QDateTime now = timeOf(i);
        // A full line is a record of its own once more text comes; the text starts the next.
        if (c != '\r' && c > 15 && line.size() == in.maxLineBytes)
            record(now);
        if (c != '\r') {
            // Each byte that finds the line still empty restamps it.
            if (line.isEmpty())
                stamp = dateStamp(now, in.stampMillis);
            if (c > 15)
                line += static_cast<char>(c);
            lineStarted = true;
            continue;
        }
        if (!lineStarted)
            stamp = dateStamp(now, in.stampMillis);
        record(now);
    }
    return out;
}
