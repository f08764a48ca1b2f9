#include "acquisition/data_file.h"

#include "acquisition/platform_files.h"
#include "acquisition/varlin_def.h"

#include <cerrno>
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

    qint64 length = 0; // a length we cannot learn counts as 0: the header is attempted
    if (m_fd >= 0) {
        if (const int lengthError = m_calls.fileLength(m_fd, length); lengthError != 0)
            lastError = lengthError;
    }

    m_headed = length > 0;
    if (!m_headed) {
        const int headerError = m_fd < 0 ? openError : m_calls.appendWhole(m_fd, target.header);
        if (headerError != 0) {
            lastError = headerError;
        } else {
            m_headed = true;
            markWritten();
            // A new file's name must reach the medium too, or a power cut loses the file.
            if (!m_unflushedFolders.contains(m_folder))
                m_unflushedFolders.append(m_folder);
        }
    }
    m_error = lastError;
    return lastError;
}

int32_t DataFileWriter::writeLine(const QByteArray& record) {
    if (!isReady())
        return m_error != 0 ? m_error : EBADF;
    const int error = m_calls.appendWhole(m_fd, record + "\r\n");
    if (error == 0)
        markWritten();
    return error;
}

void DataFileWriter::close() {
    if (m_fd < 0)
        return;
    m_calls.closeFile(m_fd);
    m_fd = -1;
    m_headed = false;
}

void DataFileWriter::markWritten() {
    if (!m_unflushedFiles.contains(m_path))
        m_unflushedFiles.append(m_path);
}

DataFileWriter::Clock::time_point DataFileWriter::flushDue() const {
    if (!anyUnflushed())
        return Clock::time_point::max();
    // From the end of the last flush: a flush that takes longer than the interval is followed
    // by another a whole interval later, never by one per record.
    return m_lastFlushEnd + kFlushInterval;
}

void DataFileWriter::flushNow() {
    if (!anyUnflushed())
        return;
    // The data first, then the names that lead to it.
    for (const QByteArray& path : std::exchange(m_unflushedFiles, {}))
        syncFile(m_calls, path);
    for (const QByteArray& folder : std::exchange(m_unflushedFolders, {}))
        syncFolder(m_calls, folder);
    m_lastFlushEnd = Clock::now();
}
