// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The instrument's numbered lines, and watching for them in the files they end up in.

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

inline constexpr int kLineBytes = 60; // per line, CR LF included

/// "L", the sequence number in 8 digits, a comma, dots up to 58 bytes, CR LF.
QByteArray instrumentLine(int seq);

/// The sequence number of a line holding "L<8 digits>,", or -1.
int seqOf(const QByteArray& line);

/// The time stamp a record begins with ("yyyy/MM/dd,hh:mm:ss.zzz,", local time), its digits
/// packed as the number yyyyMMddhhmmsszzz (cheap enough to take while the records stream in),
/// and the record without it; -1 and the whole record when it has none.
std::pair<int64_t, QByteArray> splitStamp(const QByteArray& record);
/// Packed stamp digits as milliseconds since the epoch; -1 for -1.
int64_t stampDigitsMs(int64_t digits);

/// Notes when each numbered record appears in the logger's data files (inotify on the folder,
/// read on a thread of its own), its time stamp, and whether they come whole and in order.
class FileWatcher {
public:
    FileWatcher(const std::string& folder, int lines);
    ~FileWatcher();
    int64_t seenNs(int seq) const { return m_seenNs[static_cast<size_t>(seq)]; }
    /// The record's stamp (ms since the epoch), -1 without one.
    int64_t stampMs(int seq) const {
        return stampDigitsMs(m_stampDigits[static_cast<size_t>(seq)]);
    }
    /// The record came after one with a later number, or twice.
    bool reordered(int seq) const { return m_reordered[static_cast<size_t>(seq)]; }
    int outOfOrder() const { return m_outOfOrder; }
    int damaged() const { return m_damaged; }
    int64_t recordedBytes() const { return m_recordedBytes; }
    /// CPU seconds of the watching thread, for a benchmark that shares its process.
    double cpuSeconds();

private:
    void run();
    void readNew(const std::string& name);
    void note(const QByteArray& line, int64_t now);

    std::string m_folder;
    std::vector<std::atomic<int64_t>> m_seenNs;
    std::vector<std::atomic<int64_t>> m_stampDigits;
    std::vector<std::atomic<bool>> m_reordered;
    int m_fd = -1;
    std::map<std::string, qint64> m_offsets;
    int m_lastSeq = -1;
    std::atomic<int> m_outOfOrder{0};
    std::atomic<int> m_damaged{0};
    std::atomic<int64_t> m_recordedBytes{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

/// The numbered lines a peer recorded, from its output file once it has ended.
std::vector<bool> linesIn(const std::string& path, int lines);

/// The highest numbered line in the last few KiB of a file, or -1.
int lastSeqIn(const std::string& path);
