// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/data_file.h"

#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/platform_files.h"
#include "acquisition/storage/crc32c.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <utility>

QString dataFileErrorText(int32_t error) {
    return QStringLiteral("Data file output error.  %1").arg(error);
}

FileTarget fileTargetAt(LocalTimeCache& localTime, qint64 nowMs) {
    const LocalTime now = localTime.at(nowMs);
    const QByteArray name = fileNameText(now, varlin_def.HourlyFiles != kFalse);
    varlin_def.DataFilePath = varlin_def.SavePath + "/" + name + ".txt";
    return {varlin_def.DataFilePath, varlin_def.SavePath,
            " Recive Data ," + shortDateText(now) + "," + timeText(now) + "," +
                varlin_def.FileComment + "\r\n"};
}

quint32 fileIdOf(QByteArrayView head) {
    head = head.first(std::min(head.size(), kFileIdBytes));
    const qsizetype lineEnd = head.indexOf('\n');
    const quint32 id = crc32c(lineEnd >= 0 ? head.first(lineEnd + 1) : head);
    return id != 0 ? id : 1;
}

namespace {
constexpr qsizetype kZeroPiece = qsizetype{64} * 1024;
// A power cut leaves zeros for no more than the writes that were pending, far less than this;
// a longer stretch is taken for someone else's.
constexpr qint64 kZeroStretchMost = qint64{16} * 1024 * 1024;

// Whether nothing but zeros lies from `offset` to the end of the file, of at most
// kZeroStretchMost bytes; read a piece at a time, so a large file is never read whole. 0 or the
// read's error.
int zerosToTheEnd(FileCalls& calls, const QByteArray& path, qint64 offset, bool& zeros) {
    zeros = false;
    QByteArray piece;
    for (qint64 read = 0; read <= kZeroStretchMost; read += piece.size()) {
        const auto want =
            static_cast<qsizetype>(std::min<qint64>(kZeroPiece, kZeroStretchMost + 1 - read));
        if (const int error = calls.readAt(path, offset + read, want, piece); error != 0)
            return error;
        if (std::any_of(piece.cbegin(), piece.cend(), [](char c) { return c != '\0'; }))
            return 0;
        if (piece.size() < want) {
            zeros = true;
            return 0;
        }
    }
    return 0;
}
} // namespace

PlaceVerdict judgePlace(FileCalls& calls, const QByteArray& path, FilePlace place,
                        const QByteArray& line) {
    using Is = PlaceVerdict::Is;
    QByteArray head;
    if (const int error = calls.readAt(path, 0, kFileIdBytes, head); error != 0)
        return error == ENOENT ? PlaceVerdict{Is::Missing, {}, 0}
                               : PlaceVerdict{Is::Unknown, {}, error};
    // Another file under the same name (the old one moved away) holds none of our lines.
    if (place.fileId != 0 && fileIdOf(head) != place.fileId)
        return {Is::Missing, {}, 0};
    QByteArray there;
    if (const int error = calls.readAt(path, place.offset, line.size(), there); error != 0)
        return {Is::Unknown, {}, error};
    if (there == line)
        return {Is::Written, {}, 0};
    // Only a line at the file's end is ours to complete or cut back: bytes after it may be
    // another logger's. A power cut can leave zeros where the data did not reach the medium,
    // as far as the length that did, which may run on past the line.
    if (there.isEmpty())
        return {Is::Missing, {}, 0};
    if (there.size() < line.size() && line.startsWith(there))
        return {Is::Torn, line.mid(there.size()), 0};
    for (qsizetype i = 0; i < there.size(); ++i)
        if (there[i] != line[i] && there[i] != '\0')
            return {Is::Missing, {}, 0};
    if (there.size() == line.size()) {
        bool zeros = false;
        if (const int error = zerosToTheEnd(calls, path, place.offset + line.size(), zeros);
            error != 0)
            return {Is::Unknown, {}, error};
        if (!zeros)
            return {Is::Missing, {}, 0};
    }
    return {Is::Garbled, {}, 0};
}

int32_t settlePlaced(FileCalls& calls, const QByteArray& path, const QList<PendingRecord>& records,
                     QList<bool>& landed, int32_t& flushError) {
    flushError = 0;
    using Is = PlaceVerdict::Is;
    landed = QList<bool>(records.size(), false);
    bool flush = false;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const PendingRecord& record = records[i];
        if (!record.place.known())
            continue;
        const QByteArray line = record.record + "\r\n";
        const PlaceVerdict verdict = judgePlace(calls, path, record.place, line);
        if (verdict.is == Is::Unknown)
            return verdict.error;
        landed[i] = verdict.is != Is::Missing;
        flush = flush || landed[i];
        if (verdict.is != Is::Torn && verdict.is != Is::Garbled)
            continue;
        int error = 0;
        const int fd = calls.openForAppend(path, error);
        if (fd < 0)
            return error;
        if (verdict.is == Is::Garbled)
            error = truncateFile(fd, record.place.offset);
        if (error == 0)
            error = calls.appendWhole(fd, verdict.is == Is::Torn ? verdict.rest : line);
        if (const int closeError = calls.closeFile(fd); error == 0)
            error = closeError;
        if (error != 0)
            return error;
    }
    if (flush)
        flushError = syncFile(calls, path);
    return 0;
}

namespace {
std::mutex g_turnsMutex;
std::map<QByteArray, std::shared_ptr<std::mutex>> g_turns; // a file a day or an hour: few
std::shared_ptr<std::mutex> turnOf(const QByteArray& path) {
    const std::lock_guard lock(g_turnsMutex);
    std::shared_ptr<std::mutex>& turn = g_turns[path];
    if (!turn)
        turn = std::make_shared<std::mutex>();
    return turn;
}
} // namespace

FileTurn::FileTurn(const QByteArray& path) : m_mutex(turnOf(path)), m_lock(*m_mutex) {}

DataFileWriter::DataFileWriter(FileCalls& calls) : m_calls(calls) {}

DataFileWriter::~DataFileWriter() {
    close();
}

int32_t DataFileWriter::File_open(const FileTarget& target) {
    close(); // one DataFile at a time, even if a caller forgot to close the last one
    m_path = target.path;
    m_folder = target.folder;

    int openError = 0;
    m_fd = m_calls.openForAppend(m_path, openError);
    // Steps that need the file fail with the open's own code, so the operator sees the cause.
    int lastError = openError;

    qint64 length = 0;
    m_headed = false;
    m_fileId = 0;
    m_length = 0;
    // A file whose length cannot be learned may hold lines: a header would land amid them.
    if (m_fd >= 0) {
        if (const int lengthError = m_calls.fileLength(m_fd, length); lengthError != 0) {
            m_error = lengthError;
            return lengthError;
        }
    }

    m_headed = length > 0;
    if (!m_headed) {
        const int headerError = m_fd < 0 ? openError : m_calls.appendWhole(m_fd, target.header);
        if (headerError != 0) {
            lastError = headerError;
        } else {
            m_headed = true;
            length = target.header.size();
            m_fileId = fileIdOf(target.header);
            markWritten();
            // A new file's name must reach the medium too, or a power cut loses the file.
            if (!m_unflushedFolders.contains(m_folder))
                m_unflushedFolders.append(m_folder);
        }
    } else if (m_fd >= 0) {
        learnFile(length);
    }
    m_length = length;
    if (m_headed)
        m_known.insert(m_path, {m_length, m_fileId});
    m_error = lastError;
    return lastError;
}

void DataFileWriter::learnFile(qint64& length) {
    const auto known = m_known.constFind(m_path);
    if (known != m_known.cend() && known->length == length) {
        m_fileId = known->fileId;
        return;
    }
    // Someone else wrote here, or this is the writer's first look at the file.
    QByteArray bytes;
    m_fileId = m_calls.readAt(m_path, 0, kFileIdBytes, bytes) == 0 ? fileIdOf(bytes) : 0;
    if (m_calls.readAt(m_path, length - 1, 1, bytes) == 0 && bytes != "\n" &&
        m_calls.appendWhole(m_fd, "\r\n") == 0) {
        length += 2;
        markWritten();
    }
}

int32_t DataFileWriter::writeLine(const QByteArray& record) {
    return appendLines(record + "\r\n");
}

int32_t DataFileWriter::appendLines(const QByteArray& lines) {
    if (!readyForRecords())
        return m_error != 0 ? m_error : EBADF;
    const int error = m_calls.appendWhole(m_fd, lines);
    if (error != 0)
        return error;
    markWritten();
    // Appending goes to the end as it is then: another program may have written before us.
    qint64 end = 0;
    m_lastAppendAt =
        m_calls.offsetOf(m_fd, end) == 0 && end >= lines.size() ? end - lines.size() : m_length;
    m_length = m_lastAppendAt + lines.size();
    m_known.insert(m_path, {m_length, m_fileId});
    return 0;
}

int32_t DataFileWriter::close() {
    if (m_fd < 0)
        return 0;
    const int error = m_calls.closeFile(m_fd);
    m_fd = -1;
    m_headed = false;
    if (error != 0)
        m_known.remove(m_path); // what it holds is not known now
    return error;
}

void DataFileWriter::markWritten() {
    if (!m_unflushedFiles.contains(m_path))
        m_unflushedFiles.append(m_path);
}

void DataFileWriter::flushLater(const QByteArray& path) {
    if (!m_unflushedFiles.contains(path))
        m_unflushedFiles.append(path);
}

DataFileWriter::Clock::time_point DataFileWriter::flushDue() const {
    if (!anyUnflushed())
        return Clock::time_point::max();
    // From the end of the last flush: a flush that takes longer than the interval is followed
    // by another a whole interval later, never by one per record.
    return m_lastFlushEnd + kFlushInterval;
}

QList<DataFileWriter::FlushFailure> DataFileWriter::flushNow() {
    QList<FlushFailure> failures;
    // The data first, then the names that lead to it. What failed is due again.
    const auto syncAll = [&](QList<QByteArray>& paths, int (*sync)(FileCalls&, const QByteArray&)) {
        for (const QByteArray& path : std::exchange(paths, {})) {
            if (const int error = sync(m_calls, path); error != 0) {
                failures.append({path, error});
                paths.append(path);
            }
        }
    };
    if (!anyUnflushed())
        return failures;
    syncAll(m_unflushedFiles, syncFile);
    syncAll(m_unflushedFolders, syncFolder);
    m_lastFlushEnd = Clock::now();
    return failures;
}
