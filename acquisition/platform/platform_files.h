// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

class FileCalls;

// What the data file writer, the spool and the start-up folder ask of the file system beyond
// FileCalls (file_calls.h). Each system provides these in its own file:
// platform_linux_files.cpp on Linux, platform_windows_files.cpp on Windows. Paths are as the
// file system spells them (encodePath); errors are the system's own codes (errno's), shown to
// the operator as they are.

/// A path as the file system spells it, the form the file calls take, and back: the locale's
/// encoding on Linux; UTF-8 on Windows, whose calls take wide characters made from it, so no
/// name is lost to a code page.
QByteArray encodePath(const QString& path);
QString decodePath(const QByteArray& path);

/// Whether `folder` is an absolute folder as this system spells it (with Qt's forward slashes):
/// "/…" on Linux; a drive ("C:/…") or a share ("//host/share…") on Windows.
bool isAbsoluteFolder(QByteArrayView folder);

/// Has `calls` flush a written file, or a folder that gained a file, to the medium: 0 or the
/// error. A file that is gone has nothing left to flush.
int syncFile(FileCalls& calls, const QByteArray& path);
int syncFolder(FileCalls& calls, const QByteArray& folder);
/// Cuts a file to `length` bytes; 0 or the error.
int truncateFile(int fd, qint64 length);
/// Puts the file `from` in the place of `to`, which may exist but must not be open (Windows
/// replaces no open file); 0 or the error.
int replaceFile(const QByteArray& from, const QByteArray& to);

/// The folder that holds the running executable, as the file system spells it.
QByteArray executableFolder();
/// Whether the running account can create files in a folder.
bool canCreateFilesIn(const QString& folder);

/// Whether `path` names a device the system reads and writes as a stream of characters, as a
/// serial port's node is ("/dev/ttyUSB0", a symbolic link to one). Never on Windows, whose
/// ports go by their COM names.
bool isDeviceNode(const QString& path);
/// Creates `folder` (and the folders above it) for this account alone, without a moment in
/// which others could read it; true when it is there. An existing folder is left as it is.
bool makePrivateFolder(const QString& folder);

/// The folder for the records that wait to be written (the spools): on the local disk, the
/// account's own.
QString spoolHome();
