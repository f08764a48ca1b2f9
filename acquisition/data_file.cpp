#include "acquisition/data_file.h"

#include "acquisition/clock.h"
#include "acquisition/message_sink.h"
#include "acquisition/platform_files.h"
#include "acquisition/varlin_def.h"

#include <QString>

#include <cerrno>
#include <utility>

DataFileWriter::DataFileWriter(const Clock& clock, MessageSink& messages, FileSync& sync)
    : m_clock(clock), m_messages(messages), m_sync(sync) {
    m_flushTimer.setSingleShot(true);
    // Never early: at most one flush a second.
    m_flushTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_flushTimer, &QTimer::timeout, &m_flushTimer, [this] { flushNow(); });
}

DataFileWriter::~DataFileWriter() {
    close();
    flushNow();
}

void DataFileWriter::File_open() {
    const int32_t error = openQuietly();
    if (error != 0)
        m_messages.showMessage(dataFileErrorText(error));
}

int32_t DataFileWriter::openQuietly() {
    close(); // one DataFile at a time, even if a caller forgot to close the last one
    const LocalTime now = m_localTime.at(m_clock.nowMs());
    const QByteArray name = fileNameText(now, varlin_def.HourlyFiles != kFalse);
    varlin_def.DataFilePath = varlin_def.SavePath + "/" + name + ".txt";
    m_path = varlin_def.DataFilePath;
    m_folder = varlin_def.SavePath;

    int openError = 0;
    m_fd = openForAppend(m_path, openError);
    // Steps that need the file fail with the open's own code, so the operator sees the cause.
    int lastError = openError;

    qint64 length = 0; // a length we cannot learn counts as 0: the header is attempted
    if (m_fd >= 0) {
        if (const int lengthError = fileLength(m_fd, length); lengthError != 0)
            lastError = lengthError;
    }

    m_headed = length > 0;
    if (!m_headed) {
        const QByteArray header = " Recive Data ," + shortDateText(now) + "," + timeText(now) +
                                  "," + varlin_def.FileComment + "\r\n";
        const int headerError = m_fd < 0 ? openError : appendWhole(m_fd, header);
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

bool DataFileWriter::isReady() const {
    return m_fd >= 0 && m_headed;
}

int32_t DataFileWriter::writeLine(const QByteArray& record) {
    if (!isReady())
        return m_error != 0 ? m_error : EBADF; // File_open has told the operator already
    const int error = appendWhole(m_fd, record + "\r\n");
    if (error == 0)
        markWritten();
    return error;
}

QString dataFileErrorText(int32_t error) {
    return QStringLiteral("Data file output error.  %1").arg(error);
}

void DataFileWriter::close() {
    if (m_fd < 0)
        return;
    closeFile(m_fd);
    m_fd = -1;
    m_headed = false;
    scheduleFlush();
}

void DataFileWriter::markWritten() {
    if (!m_unflushedFiles.contains(m_path))
        m_unflushedFiles.append(m_path);
}

void DataFileWriter::scheduleFlush() {
    if (m_unflushedFiles.isEmpty() || m_flushTimer.isActive())
        return;
    const qint64 sinceLast = m_lastFlush.isValid() ? m_lastFlush.elapsed() : kFlushIntervalMs;
    if (sinceLast >= kFlushIntervalMs)
        flushNow();
    else
        m_flushTimer.start(static_cast<int>(kFlushIntervalMs - sinceLast));
}

void DataFileWriter::flushNow() {
    m_flushTimer.stop();
    if (m_unflushedFiles.isEmpty() && m_unflushedFolders.isEmpty())
        return;
    m_lastFlush.start();
    // The data first, then the names that lead to it.
    for (const QByteArray& path : std::exchange(m_unflushedFiles, {}))
        syncFile(m_sync, path);
    for (const QByteArray& folder : std::exchange(m_unflushedFolders, {}))
        syncFolder(m_sync, folder);
}
