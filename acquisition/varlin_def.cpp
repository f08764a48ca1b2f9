#include "acquisition/varlin_def.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

VarlinDef varlin_def;

void loadStartValues(const QByteArray& savePath) {
    varlin_def.SavePath = savePath;
    varlin_def.PortNumber = 1;
    varlin_def.BaudRate = "9600";
    varlin_def.Stopped = kTrue;
    varlin_def.HourlyFiles = kFalse;
}

QByteArray executableFolder() {
    // Qt resolves /proc/self/exe, so a symlinked launcher still names the real folder.
    return QFile::encodeName(QCoreApplication::applicationDirPath());
}

bool canCreateFilesIn(const QString& folder) {
    // Qt asks the system for the account's own rights, so a read-only medium counts as well.
    const QFileInfo info(folder);
    return info.isDir() && info.isWritable() && info.isExecutable();
}

QByteArray startSavePath(const FolderCheck& canCreateFiles) {
    // An installed logger lives in a system folder the operator cannot write to.
    const QByteArray executable = executableFolder();
    if (canCreateFiles(QFile::decodeName(executable)))
        return executable;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && canCreateFiles(documents))
        return QFile::encodeName(documents);
    return QFile::encodeName(QDir::homePath());
}
