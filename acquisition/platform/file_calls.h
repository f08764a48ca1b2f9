// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

/// The file system calls the data file writer and the spool make, on their own threads: the
/// system's by default; tests make them slow, hang or fail. Paths are as the file system spells
/// them; errors are the system's own codes.
class FileCalls {
public:
    virtual ~FileCalls() = default;
    /// Opens a file for appending, creating it when missing: the descriptor, or -1 with `error`.
    virtual int openForAppend(const QByteArray& path, int& error);
    /// The length in bytes of the file open as `fd`; 0 or the error.
    virtual int fileLength(int fd, qint64& length);
    /// Appends bytes in one write, leaving nothing of them in the file when not all went out.
    virtual int appendWhole(int fd, const QByteArray& bytes);
    /// Where the file open as `fd` is at: after an append, the end of what it appended.
    virtual int offsetOf(int fd, qint64& offset);
    /// 0, or the error the close reports (a network file system reports failed writes here).
    virtual int closeFile(int fd);
    /// Flushes the data written to a file, or a folder's entries, to the medium through an
    /// open descriptor (fdatasync on Linux); 0 or the system's error code.
    virtual int dataSync(int fd);
    /// Reads up to `size` bytes at `offset` of the file at `path` (fewer at its end); 0 or the
    /// error.
    virtual int readAt(const QByteArray& path, qint64 offset, qsizetype size, QByteArray& bytes);
    /// Removes a file; 0 or the error. A file that is gone already counts as removed.
    virtual int removeFile(const QByteArray& path);
};

/// The system's own calls, from the platform's files (platform_linux_files.cpp on Linux).
FileCalls& systemFileCalls();
