#pragma once

#include "acquisition/clock.h"
#include "acquisition/file_calls.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>
#include <cstdint>

/// The message File_open shows for a failure: "Data file output error.  " and the code.
QString dataFileErrorText(int32_t error);

/// Where a record goes, decided when its line ends: the data file, its folder, and the header
/// line (CR LF ended) the file gets should it be empty when the record reaches it.
struct FileTarget {
    QByteArray path;
    QByteArray folder;
    QByteArray header;
};

/// The target of a record whose line ends at `nowMs`, from SavePath, HourlyFiles and
/// FileComment; sets DataFilePath to it. On the thread that owns varlin_def.
FileTarget fileTargetAt(LocalTimeCache& localTime, qint64 nowMs);

/// Opens a record's data file for appending as the single handle DataFile, heads a new file,
/// writes record lines to it whole, and flushes what it wrote to the medium, at most once a
/// second counted from the end of the last flush. It makes its calls through `calls` on
/// whatever thread owns it, and knows nothing of the operator.
class DataFileWriter {
public:
    using Clock = std::chrono::steady_clock;

    explicit DataFileWriter(FileCalls& calls = systemFileCalls());
    ~DataFileWriter();
    DataFileWriter(const DataFileWriter&) = delete;
    DataFileWriter& operator=(const DataFileWriter&) = delete;

    /// Opens the target's file, writes its header if it is empty; every step is tried even
    /// after one failed. 0, or the code of the last failure.
    int32_t File_open(const FileTarget& target);
    /// True when DataFile is open and headed, ready for a record line.
    bool isReady() const { return m_fd >= 0 && m_headed; }
    /// Appends record + CR LF in one write; on failure nothing of it stays in the file.
    /// 0, or the code of the failure (File_open's when the file is not ready).
    int32_t writeLine(const QByteArray& record);
    /// Closes DataFile; does nothing when it is not open.
    void close();
    /// When the next flush is due; Clock::time_point::max() when nothing waits for one.
    Clock::time_point flushDue() const;
    /// Flushes what was written and not yet flushed, now.
    void flushNow();
    bool anyUnflushed() const {
        return !m_unflushedFiles.isEmpty() || !m_unflushedFolders.isEmpty();
    }

    static constexpr std::chrono::milliseconds kFlushInterval{1000};

private:
    void markWritten();

    FileCalls& m_calls;
    int m_fd = -1;
    bool m_headed = false;
    int32_t m_error = 0; // why DataFile is not ready, given back to a write that comes anyway
    QByteArray m_path;   // of DataFile while it is open
    QByteArray m_folder; // and its folder
    // Written since the last flush. Kept by name rather than by descriptor, so no data file
    // stays open between records, and a new day's file is flushed with the old one's end.
    QList<QByteArray> m_unflushedFiles;
    QList<QByteArray> m_unflushedFolders; // that gained a file
    Clock::time_point m_lastFlushEnd{};
};
