// SPDX-License-Identifier: GPL-3.0-or-later
#include "csv_phase.h"

#include "numbered_lines.h"
#include "proc_stats.h"

#include <QByteArrayView>
#include <QList>

#include <algorithm>
#include <chrono>
#include <vector>

bool stretchAsSent(const QByteArray& data, int first, int lines) {
    const qsizetype head = data.indexOf(instrumentLine(first));
    if (head < 0)
        return false;
    // From the start of its record: a time stamp may stand before the line.
    qsizetype at = data.lastIndexOf('\n', head) + 1;
    for (int seq = first; seq < first + lines; ++seq) {
        const qsizetype end = data.indexOf("\r\n", at);
        if (end < 0 || splitStamp(data.sliced(at, end + 2 - at)).second != instrumentLine(seq))
            return false;
        at = end + 2;
    }
    return true;
}

CsvRows csvRowsFor(const QByteArray& csv, int first, int lines) {
    CsvRows found;
    std::vector<bool> seen(static_cast<size_t>(lines));
    QList<QByteArray> rows = csv.split('\n');
    if (!rows.isEmpty() && rows.last().isEmpty())
        rows.removeLast();
    found.header = !rows.isEmpty() && rows.first().startsWith("\xEF\xBB\xBF"
                                                              "date");
    for (qsizetype i = found.header ? 1 : 0; i < rows.size(); ++i) {
        const QByteArray& row = rows[i];
        if (!row.endsWith('\r'))
            continue;
        ++found.rows;
        const int seq = seqOf(row);
        if (seq < first || seq >= first + lines)
            continue;
        ++found.forLines;
        found.distinct += seen[static_cast<size_t>(seq - first)] ? 0 : 1;
        seen[static_cast<size_t>(seq - first)] = true;
        // date, time, then the first value: the line's number without its leading zeros. The
        // separator is whichever follows the date (yyyy-MM-dd).
        const QList<QByteArray> fields = row.split(row.size() > 10 ? row.at(10) : ',');
        found.wrongValue += fields.size() < 3 || fields[2] != QByteArray::number(seq) ? 1 : 0;
    }
    return found;
}

RssPeak::RssPeak(pid_t pid) {
    m_thread = std::thread([this, pid] {
        while (!m_stop) {
            m_peakKb = std::max(m_peakKb.load(), procRssKb(pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

RssPeak::~RssPeak() {
    stop();
}

long RssPeak::stop() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    return m_peakKb;
}
