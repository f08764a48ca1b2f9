#include "acquisition/varlin_def.h"

#include <QCoreApplication>
#include <QFile>

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
