// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/core/varlin_def.h"

#include "acquisition/platform/platform_files.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

VarlinDef varlin_def;

void loadStartValues(const QByteArray& savePath) {
    varlin_def = VarlinDef{};
    varlin_def.SavePath = savePath;
    varlin_def.PortNumber = 1;
    varlin_def.BaudRate = "9600";
    varlin_def.Stopped = kTrue;
    varlin_def.HourlyFiles = kFalse;
    varlin_def.AskInstrument = kFalse;
    varlin_def.AskLineEnd = "\r\n";
    varlin_def.AskIntervalMs = 10'000;
}

QByteArray startSavePath(const FolderCheck& canCreateFiles) {
    // An installed logger lives in a system folder the operator cannot write to.
    QByteArray executable = executableFolder();
    if (canCreateFiles(decodePath(executable)))
        return executable;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && canCreateFiles(documents))
        return encodePath(documents);
    return encodePath(QDir::homePath());
}

QByteArray startSavePath() {
    return startSavePath(canCreateFilesIn);
}
