// SPDX-License-Identifier: GPL-3.0-or-later
// The data file, the spool, their flushes and the start-up folder on Linux: POSIX
// descriptors, O_APPEND, ftruncate and fdatasync.

#include "acquisition/platform/file_calls.h"
#include "acquisition/platform/platform_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int syncPath(FileCalls& calls, const QByteArray& path, int flags) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0)
        return errno == ENOENT ? 0 : errno;
    const int error = calls.dataSync(fd);
    // A failed write-back of pages that were written through another descriptor is reported
    // to this one, once; the close of a read-only descriptor has nothing more to say.
    ::close(fd);
    return error;
}

} // namespace

FileCalls& systemFileCalls() {
    static FileCalls calls;
    return calls;
}

int FileCalls::openForAppend(const QByteArray& path, int& error) {
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    error = fd < 0 ? errno : 0;
    return fd;
}

int FileCalls::fileLength(int fd, qint64& length) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return errno;
    length = info.st_size;
    return 0;
}

int FileCalls::appendWhole(int fd, const QByteArray& bytes) {
    const auto size = static_cast<size_t>(bytes.size());
    const ssize_t written = ::write(fd, bytes.constData(), size);
    if (written == static_cast<ssize_t>(size))
        return 0;
    if (written < 0)
        return errno; // nothing of ours reached the file
    // With O_APPEND the offset now sits just past our own bytes: cut exactly those, unless
    // another writer has appended behind them since (its records are not ours to cut).
    // Should the cut itself fail, the caller still learns the write failed.
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    struct stat info {};
    if (end >= written && ::fstat(fd, &info) == 0 && info.st_size == end &&
        ::ftruncate(fd, end - written) != 0)
        return errno;
    // A regular file takes fewer bytes than offered only when its medium is full.
    return ENOSPC;
}

int FileCalls::offsetOf(int fd, qint64& offset) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at < 0)
        return errno;
    offset = at;
    return 0;
}

int FileCalls::closeFile(int fd) {
    // The descriptor is gone even when close fails; it must not be closed again.
    return ::close(fd) == 0 ? 0 : errno;
}

int FileCalls::dataSync(int fd) {
    return ::fdatasync(fd) == 0 ? 0 : errno;
}

int FileCalls::readAt(const QByteArray& path, qint64 offset, qsizetype size, QByteArray& bytes) {
    bytes.clear();
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    bytes.resize(size);
    qsizetype got = 0;
    int error = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, bytes.data() + got, static_cast<size_t>(size - got),
                                  static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        got += n;
    }
    ::close(fd);
    bytes.resize(got);
    return error;
}

int FileCalls::removeFile(const QByteArray& path) {
    return ::unlink(path.constData()) == 0 || errno == ENOENT ? 0 : errno;
}

int truncateFile(int fd, qint64 length) {
    return ::ftruncate(fd, static_cast<off_t>(length)) == 0 ? 0 : errno;
}

int replaceFile(const QByteArray& from, const QByteArray& to) {
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

bool isAbsoluteFolder(QByteArrayView folder) {
    return folder.startsWith('/');
}

int syncFile(FileCalls& calls, const QByteArray& path) {
    return syncPath(calls, path, 0);
}

int syncFolder(FileCalls& calls, const QByteArray& folder) {
    return syncPath(calls, folder, O_DIRECTORY);
}

QByteArray executableFolder() {
    // Qt resolves /proc/self/exe, so a symlinked launcher still names the real folder.
    return QFile::encodeName(QCoreApplication::applicationDirPath());
}

bool canCreateFilesIn(const QString& folder) {
    // Qt asks the system for the account's own rights, so a read-only medium counts as well.
    // A folder needs search (x) as well as write permission for a new file.
    const QFileInfo info(folder);
    return info.isDir() && info.isWritable() && info.isExecutable();
}

QByteArray encodePath(const QString& path) {
    return QFile::encodeName(path);
}

QString decodePath(const QByteArray& path) {
    return QFile::decodeName(path);
}

bool isDeviceNode(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode);
}

bool makePrivateFolder(const QString& folder) {
    if (QFileInfo(folder).isDir())
        return true;
    const QString parent = QFileInfo(folder).absolutePath();
    if (!QDir().mkpath(parent))
        return false;
    // Made with its mode, not set after: the umask only ever takes rights away.
    return ::mkdir(QFile::encodeName(folder).constData(), S_IRWXU) == 0 || errno == EEXIST;
}

QString spoolHome() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty())
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/tessaline");
}
