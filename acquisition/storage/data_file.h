// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/core/clock.h"
#include "acquisition/platform/file_calls.h"
#include "acquisition/storage/pending_record.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

/// The message File_open shows for a failure: "Data file output error.  " and the code.
QString dataFileErrorText(int32_t error);

/// The target of a record whose line ends at `nowMs`, from SavePath, HourlyFiles and
/// FileComment; sets DataFilePath to it. On the thread that owns varlin_def.
FileTarget fileTargetAt(LocalTimeCache& localTime, qint64 nowMs);

/// Which file a data file is, from its first bytes: the CRC-32C of its first line (of at most
/// kFileIdBytes), never 0.
quint32 fileIdOf(QByteArrayView head);
inline constexpr qsizetype kFileIdBytes = 512;

/// Whether a line whose write was begun at `place` is in its file: by position and identity,
/// never by likeness, since two equal readings are two records.
struct PlaceVerdict {
    enum class Is {
        Written, // the line is there, whole
        Missing, // not there: the file ends before it, holds other bytes there, or is another
        Torn,    // the file ends within it, with its first bytes: append `rest` to complete it
        Garbled, // its bytes or zeros, and nothing but zeros from there to the file's end (a
                 // power cut): cut back to the place, then write it whole
        Unknown, // the file cannot be read now
    } is = Is::Unknown;
    QByteArray rest;   // Torn
    int32_t error = 0; // Unknown
};
PlaceVerdict judgePlace(FileCalls& calls, const QByteArray& path, FilePlace place,
                        const QByteArray& line);

/// Records of one file (`path`) whose write was begun, each judged at its place: `landed`
/// those there whole, or completed here (a torn last line gets its rest, a garbled end is cut
/// back to the place and the line written whole); the others are to be written again. What
/// landed is flushed before this returns, as it may not be on the medium yet. 0, or the error
/// that stopped it (a file that cannot be read, a completion that failed). `flushError`: the
/// flush of what landed failed; those records are in the file, and must not be written again,
/// but may be missing on the medium.
int32_t settlePlaced(FileCalls& calls, const QByteArray& path, const QList<PendingRecord>& records,
                     QList<bool>& landed, int32_t& flushError);

/// Writers in this process take turns at a data file, from the look at its end to the close
/// after the write, so that the place given to a record before its write is where it lands.
class FileTurn {
public:
    explicit FileTurn(const QByteArray& path);

private:
    std::shared_ptr<std::mutex> m_mutex;
    std::lock_guard<std::mutex> m_lock;
};

/// On the storage thread, or the leftovers' thread: opens a record's data file for appending as the
/// single handle DataFile, heads a new file, writes record lines to it whole, and flushes what it
/// wrote to the medium, at most once a second counted from the end of the last flush. It makes its
/// calls through `calls` on whatever thread owns it, and knows nothing of the operator.
class DataFileWriter {
public:
    using Clock = std::chrono::steady_clock;

    explicit DataFileWriter(FileCalls& calls = systemFileCalls());
    ~DataFileWriter();
    DataFileWriter(const DataFileWriter&) = delete;
    DataFileWriter& operator=(const DataFileWriter&) = delete;

    /// Opens the target's file, writes its header if it is empty; every step is tried even
    /// after one failed, but a file whose length cannot be learned gets nothing written (it may
    /// hold lines) and is not ready. 0, or the code of the last failure. A file this writer did
    /// not leave as it finds it is read first: which file it is, and whether its last line is
    /// whole (a crash can leave part of one, which gets its line end so no record is joined to
    /// it).
    int32_t File_open(const FileTarget& target);
    /// True when DataFile is open and headed, ready for a record line.
    bool readyForRecords() const { return m_fd >= 0 && m_headed; }
    /// Where the next line goes in DataFile, and which file it is; while it is ready.
    FilePlace nextPlace() const { return {m_length, m_fileId}; }
    /// Appends record + CR LF in one write; on failure nothing of it stays in the file.
    /// 0, or the code of the failure (File_open's when the file is not ready).
    int32_t writeLine(const QByteArray& record);
    /// Appends lines, each CR LF ended already, in one write, as writeLine does.
    int32_t appendLines(const QByteArray& lines);
    /// Where the last append landed: nextPlace() before it, unless another program appended
    /// in between.
    qint64 lastAppendAt() const { return m_lastAppendAt; }
    /// Closes DataFile; does nothing when it is not open. 0, or the close's own error: a
    /// network file system reports there what it could not write.
    int32_t close();
    /// When the next flush is due; Clock::time_point::max() when nothing waits for one.
    Clock::time_point flushDue() const;
    struct FlushFailure {
        QByteArray path; // a file, or a folder that gained a file
        int32_t error;
    };
    /// Flushes what was written and not yet flushed, now. What failed is flushed again at the
    /// next flush, and said.
    QList<FlushFailure> flushNow();
    bool anyUnflushed() const {
        return !m_unflushedFiles.isEmpty() || !m_unflushedFolders.isEmpty();
    }
    /// The files the next flush syncs.
    const QList<QByteArray>& unflushedFiles() const { return m_unflushedFiles; }
    /// `path` was written by another hand (records found where an earlier write put them) and
    /// its flush failed: the next flush syncs it too.
    void flushLater(const QByteArray& path);

    static constexpr std::chrono::milliseconds kFlushInterval{1000};

private:
    void markWritten();
    void learnFile(qint64& length);

    FileCalls& m_calls;
    int m_fd = -1;
    bool m_headed = false;
    qint64 m_length = 0; // of DataFile, as far as this writer knows
    qint64 m_lastAppendAt = -1;
    quint32 m_fileId = 0; // of DataFile
    struct Known {
        qint64 length;
        quint32 fileId;
    };
    QHash<QByteArray, Known> m_known; // files as this writer left them
    int32_t m_error = 0; // why DataFile is not ready, given back to a write that comes anyway
    QByteArray m_path;   // of DataFile while it is open
    QByteArray m_folder; // and its folder
    // Written since the last flush. Kept by name rather than by descriptor, so no data file
    // stays open between records, and a new day's file is flushed with the old one's end.
    QList<QByteArray> m_unflushedFiles;
    QList<QByteArray> m_unflushedFolders; // that gained a file
    Clock::time_point m_lastFlushEnd{};
};
