// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/core/varlin_def.h"

#include "acquisition/platform/platform_files.h"

#include <QDir>
#include <QFile>
#include <QLocale>
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
    varlin_def.CsvCopy = kFalse;
    varlin_def.CsvNumbers = 1;
    // A spreadsheet that reads 1,5 as a number wants its fields apart by ';'.
    varlin_def.CsvDecimalComma = QLocale().decimalPoint() == QStringLiteral(",") ? kTrue : kFalse;
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
