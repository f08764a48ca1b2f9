#include "acquisition/data_file.h"

#include "acquisition/clock.h"
#include "acquisition/message_sink.h"
#include "acquisition/varlin_def.h"

#include <QDateTime>
#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray formatted(const QDateTime& when, const char* pattern) {
    // QDateTime formats digits in the C locale, whatever the operator's locale.
    return when.toString(QLatin1StringView(pattern)).toLatin1();
}

// Appends bytes in one write(). If only part of them went out, those bytes are cut off
// again, so the file never ends in half a line. Returns 0 or the cause.
int appendWhole(int fd, const QByteArray& bytes) {
    const auto size = static_cast<size_t>(bytes.size());
    const ssize_t written = ::write(fd, bytes.constData(), size);
    if (written == static_cast<ssize_t>(size))
        return 0;
    if (written < 0)
        return errno; // nothing of ours reached the file
    // With O_APPEND the offset now sits just past our own bytes: cut exactly those.
    // Should the cut itself fail, the caller still learns the write failed.
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end >= written && ::ftruncate(fd, end - written) != 0)
        return errno;
    // A regular file takes fewer bytes than offered only when its medium is full.
    return ENOSPC;
}

} // namespace

DataFileWriter::DataFileWriter(const Clock& clock, MessageSink& messages)
    : m_clock(clock), m_messages(messages) {}

DataFileWriter::~DataFileWriter() {
    close();
}

void DataFileWriter::File_open() {
    close(); // one DataFile at a time, even if a caller forgot to close the last one
    const QDateTime now = m_clock.now();
    const QByteArray name =
        formatted(now, varlin_def.HourlyFiles != kFalse ? "yyyyMMdd_hh" : "yyyyMMdd");
    varlin_def.DataFilePath = varlin_def.SavePath + "/" + name + ".txt";

    m_fd = ::open(varlin_def.DataFilePath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                  0666);
    // Steps that need the file fail with the open's own code, so the operator sees the cause.
    const int openError = m_fd < 0 ? errno : 0;
    int lastError = openError;

    off_t length = 0; // a length we cannot learn counts as 0: the header is attempted
    struct stat info {};
    if (m_fd >= 0) {
        if (::fstat(m_fd, &info) == 0)
            length = info.st_size;
        else
            lastError = errno;
    }

    m_headed = length > 0;
    if (!m_headed) {
        const QByteArray header = " Recive Data ," + formatted(now, "yy/MM/dd") + "," +
                                  formatted(now, "hh:mm:ss") + "," + varlin_def.FileComment +
                                  "\r\n";
        const int headerError = m_fd < 0 ? openError : appendWhole(m_fd, header);
        if (headerError != 0)
            lastError = headerError;
        else
            m_headed = true;
    }

    m_error = lastError;
    if (lastError != 0)
        report(lastError);
}

bool DataFileWriter::isReady() const {
    return m_fd >= 0 && m_headed;
}

int32_t DataFileWriter::writeLine(const QByteArray& record) {
    if (!isReady())
        return m_error != 0 ? m_error : EBADF; // File_open has told the operator already
    const int error = appendWhole(m_fd, record + "\r\n");
    // A full medium shows up here for files that already have lines: say so, as File_open does.
    if (error != 0)
        report(error);
    return error;
}

void DataFileWriter::report(int error) {
    m_messages.showMessage(QStringLiteral("Data file output error.  %1").arg(error));
}

void DataFileWriter::close() {
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
    m_headed = false;
}
