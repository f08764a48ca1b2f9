// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

class FileCalls;

// What the data file writer, the spool and the start-up folder ask of the file system beyond
// FileCalls (file_calls.h). Each system provides these in its own file:
// platform_linux_files.cpp on Linux. Paths are as the file system spells them
// (QFile::encodeName); errors are the system's own codes, shown to the operator as they are.

/// Has `calls` flush a written file, or a folder that gained a file, to the medium: 0 or the
/// error. A file that is gone has nothing left to flush.
int syncFile(FileCalls& calls, const QByteArray& path);
int syncFolder(FileCalls& calls, const QByteArray& folder);
/// Cuts a file to `length` bytes; 0 or the error.
int truncateFile(int fd, qint64 length);

/// The folder that holds the running executable, as the file system spells it.
QByteArray executableFolder();
/// Whether the running account can create files in a folder.
bool canCreateFilesIn(const QString& folder);
