#pragma once

#include <QByteArray>
#include <QString>

class FileSync;

// What the data file writer and the start-up folder ask of the file system. Each system
// provides these in its own file: platform_linux_files.cpp on Linux, with systemFileSync()
// (file_sync.h). Paths are as the file system spells them (QFile::encodeName); errors are the
// system's own codes, shown to the operator as they are.

/// Opens a file for appending, creating it when missing. The descriptor, or -1 with `error` set.
int openForAppend(const QByteArray& path, int& error);
/// The length in bytes of the file open as `fd`; 0 or the error.
int fileLength(int fd, qint64& length);
/// Appends bytes in one write. If only part of them went out, those bytes are cut off again, so
/// the file never ends in half a line. 0 or the cause.
int appendWhole(int fd, const QByteArray& bytes);
void closeFile(int fd);
/// Has `sync` flush a written file, or a folder that gained a file, to the medium. A failure is
/// not reported: the next open or write meets it.
void syncFile(FileSync& sync, const QByteArray& path);
void syncFolder(FileSync& sync, const QByteArray& folder);

/// The folder that holds the running executable, as the file system spells it.
QByteArray executableFolder();
/// Whether the running account can create files in a folder.
bool canCreateFilesIn(const QString& folder);
