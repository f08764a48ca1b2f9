// SPDX-License-Identifier: GPL-3.0-or-later
// The data file, the spool, their flushes and the start-up folder on Windows: files opened
// through the wide-character API and kept as C runtime descriptors, so the writer above sees the
// same descriptors and errno codes as on Linux; FlushFileBuffers flushes. Every path goes to the
// system in its extended form, so a data folder deeper than 260 characters works as any other.

#include "acquisition/platform/windows/platform_windows_files.h"
#include "acquisition/platform/file_calls.h"
#include "acquisition/platform/platform_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

std::wstring wide(const QByteArray& path) {
    return win32Path(QString::fromUtf8(path));
}

int errnoOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
        return EINVAL;
    default:
        return EIO;
    }
}

// A descriptor over a file opened with every share mode: a spool segment or a data file may be
// read, renamed or removed by the program while it is open, as on Linux.
int openShared(const QByteArray& path, DWORD access, DWORD disposition, int flags, int& error) {
    const HANDLE file = ::CreateFileW(wide(path).c_str(), access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = errnoOf(::GetLastError());
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), flags);
    if (fd < 0) {
        error = errno;
        ::CloseHandle(file);
        return -1;
    }
    error = 0;
    return fd;
}

} // namespace

std::wstring win32Path(const QString& path) {
    const auto isLetter = [](QChar c) {
        return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
    };
    const bool onDrive = path.size() >= 3 && isLetter(path[0]) && path[1] == u':' &&
                         (path[2] == u'/' || path[2] == u'\\');
    const bool onShare = path.startsWith(QStringLiteral("//")) &&
                         !path.startsWith(QStringLiteral("//?/")) &&
                         !path.startsWith(QStringLiteral("//./"));
    if (!onDrive && !onShare)
        return QDir::toNativeSeparators(path).toStdWString();
    const QString clean = QDir::toNativeSeparators(QDir::cleanPath(path));
    return (onDrive ? QStringLiteral("\\\\?\\") + clean
                    : QStringLiteral("\\\\?\\UNC\\") + clean.mid(2))
        .toStdWString();
}

FileCalls& systemFileCalls() {
    static FileCalls calls;
    return calls;
}

int FileCalls::openForAppend(const QByteArray& path, int& error) {
    // appendWhole writes at the end itself, in one step.
    return openShared(path, GENERIC_WRITE, OPEN_ALWAYS, _O_WRONLY | _O_BINARY, error);
}

int FileCalls::fileLength(int fd, qint64& length) {
    const qint64 size = ::_filelengthi64(fd);
    if (size < 0)
        return errno;
    length = size;
    return 0;
}

int FileCalls::appendWhole(int fd, const QByteArray& bytes) {
    const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE)
        return EBADF;
    // An offset of all ones appends at the end in one step, as O_APPEND does: another logger
    // writing into the same file never lands on the same place.
    OVERLAPPED atEnd{};
    atEnd.Offset = MAXDWORD;
    atEnd.OffsetHigh = MAXDWORD;
    DWORD written = 0;
    const auto size = static_cast<DWORD>(bytes.size());
    if (::WriteFile(file, bytes.constData(), size, &written, &atEnd) && written == size)
        return 0;
    const DWORD failure = ::GetLastError();
    // A write that failed part way says how far it got in the OVERLAPPED alone.
    written = std::max<DWORD>(written, static_cast<DWORD>(atEnd.InternalHigh));
    if (written == 0)
        return errnoOf(failure);
    // The file's position sits just past our own bytes: cut exactly those, unless another
    // writer has appended behind them since (its records are not ours to cut).
    qint64 end = 0;
    qint64 length = 0;
    if (offsetOf(fd, end) == 0 && fileLength(fd, length) == 0 && length == end && end >= written)
        truncateFile(fd, end - written);
    return ENOSPC;
}

int FileCalls::offsetOf(int fd, qint64& offset) {
    const qint64 at = ::_telli64(fd);
    if (at < 0)
        return errno;
    offset = at;
    return 0;
}

int FileCalls::closeFile(int fd) {
    return ::_close(fd) == 0 ? 0 : errno;
}

int FileCalls::dataSync(int fd) {
    // Not _commit, which reports every failure as EBADF.
    const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE)
        return EBADF;
    return ::FlushFileBuffers(file) ? 0 : errnoOf(::GetLastError());
}

int FileCalls::readAt(const QByteArray& path, qint64 offset, qsizetype size, QByteArray& bytes) {
    bytes.clear();
    int error = 0;
    const int fd = openShared(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY | _O_BINARY, error);
    if (fd < 0)
        return error;
    bytes.resize(size);
    qsizetype got = 0;
    if (::_lseeki64(fd, offset, SEEK_SET) < 0)
        error = errno;
    while (error == 0 && got < size) {
        const int n = ::_read(fd, bytes.data() + got, static_cast<unsigned>(size - got));
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        got += n;
    }
    ::_close(fd);
    bytes.resize(got);
    return error;
}

int FileCalls::removeFile(const QByteArray& path) {
    // A file another program holds open without sharing its deletion (a virus scanner) stays.
    if (::DeleteFileW(wide(path).c_str()))
        return 0;
    const int error = errnoOf(::GetLastError());
    return error == ENOENT ? 0 : error;
}

int truncateFile(int fd, qint64 length) {
    // Not _chsize_s, which reports every failure as EACCES. The position goes back to where it
    // was, or to the new end when that was past it.
    const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    LARGE_INTEGER at{};
    LARGE_INTEGER was{};
    if (file == INVALID_HANDLE_VALUE)
        return EBADF;
    at.QuadPart = length;
    if (!::SetFilePointerEx(file, LARGE_INTEGER{}, &was, FILE_CURRENT) ||
        !::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) || !::SetEndOfFile(file))
        return errnoOf(::GetLastError());
    if (was.QuadPart < length)
        ::SetFilePointerEx(file, was, nullptr, FILE_BEGIN);
    return 0;
}

int replaceFile(const QByteArray& from, const QByteArray& to) {
    return ::MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : errnoOf(::GetLastError());
}

bool isAbsoluteFolder(QByteArrayView folder) {
    // A backslash is a separator to Windows but never in Qt's spelling: it could hide a "..".
    if (folder.contains('\\'))
        return false;
    const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (folder.size() >= 3 && isLetter(folder[0]) && folder[1] == ':' && folder[2] == '/')
        return true;
    // "//host/share": both named. "//?/" and "//./" name devices, not folders.
    if (!folder.startsWith("//"))
        return false;
    const QByteArrayView rest = folder.sliced(2);
    const qsizetype slash = rest.indexOf('/');
    if (slash <= 0 || rest.first(slash) == "?" || rest.first(slash) == ".")
        return false;
    const QByteArrayView share = rest.sliced(slash + 1);
    return !share.isEmpty() && share[0] != '/';
}

int syncFile(FileCalls& calls, const QByteArray& path) {
    // FlushFileBuffers needs a handle that may write.
    int error = 0;
    const int fd = openShared(path, GENERIC_WRITE, OPEN_EXISTING, _O_WRONLY | _O_BINARY, error);
    if (fd < 0)
        return error == ENOENT ? 0 : error;
    error = calls.dataSync(fd);
    ::_close(fd);
    return error;
}

int syncFolder(FileCalls&, const QByteArray&) {
    // NTFS journals a folder's entries itself; Windows has no flush for a folder to ask for.
    return 0;
}

QByteArray executableFolder() {
    return encodePath(QCoreApplication::applicationDirPath());
}

bool canCreateFilesIn(const QString& folder) {
    // Windows' attributes say nothing of an account's rights on a folder (Program Files looks
    // writable to Qt); only creating a file tells.
    if (!QDir(folder).exists())
        return false;
    const QString probe = QDir(folder).filePath(QStringLiteral("tessaline-probe-") +
                                                QUuid::createUuid().toString(QUuid::Id128));
    const HANDLE file =
        ::CreateFileW(win32Path(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(file);
    return true;
}

QByteArray encodePath(const QString& path) {
    return path.toUtf8();
}

QString decodePath(const QByteArray& path) {
    return QString::fromUtf8(path);
}

bool isDeviceNode(const QString& /*path*/) {
    return false;
}

bool makePrivateFolder(const QString& folder) {
    // Below the account's own profile, which others cannot read.
    return QDir().mkpath(folder);
}

QString spoolHome() {
    // %LOCALAPPDATA%: the account's own, and never roamed to a server.
    QString local = qEnvironmentVariable("LOCALAPPDATA");
    if (local.isEmpty())
        local = QDir::homePath() + QStringLiteral("/AppData/Local");
    return QDir::fromNativeSeparators(local) + QStringLiteral("/tessaline");
}
