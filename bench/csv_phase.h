// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The spreadsheet copy's phases: what the data file and its CSV must hold afterwards, and the
// logger's resident memory while a phase runs.

#include <QByteArray>

#include <atomic>
#include <sys/types.h>
#include <thread>

/// Whether the numbered lines first..first+lines-1 stand in `data` as one stretch, byte for
/// byte as they were sent after their time stamps: nothing of a CSV between them, none missing
/// or changed.
bool stretchAsSent(const QByteArray& data, int first, int lines);

/// What a CSV holds for the numbered lines first..first+lines-1.
struct CsvRows {
    int rows = 0;       // every row after the header, CR LF ended
    int forLines = 0;   // rows whose record is one of the lines
    int distinct = 0;   // of those lines, how many have a row
    int wrongValue = 0; // rows whose first value is not the line's number
    bool header = false;
};

/// The rows of `csv` (a byte-order mark and a header row first) for those lines.
CsvRows csvRowsFor(const QByteArray& csv, int first, int lines);

/// The most resident memory of a process while it is watched, sampled every 20 ms: VmHWM is
/// the process's peak over its whole life, which an earlier burst may already have set.
class RssPeak {
public:
    explicit RssPeak(pid_t pid);
    ~RssPeak();
    RssPeak(const RssPeak&) = delete;
    RssPeak& operator=(const RssPeak&) = delete;
    long stop(); // KiB

private:
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_peakKb{0};
    std::thread m_thread;
};
