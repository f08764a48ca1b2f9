// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/folder_claim.h"

#include "acquisition/core/answer_in_time.h"
#include "acquisition/platform/platform_files.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

QString lockPathFor(const QByteArray& folder) {
    const QString path = decodePath(folder);
    // A folder that is missing now, or on a share that does not answer, is taken as spelled.
    const QString canonical =
        answerInTime<QString>(QStringLiteral("canonical:") + path,
                              [path] { return QFileInfo(path).canonicalFilePath(); },
                              kFolderAnswerWait, nullptr, {})
            .value_or(QString());
    const QString key =
        canonical.isEmpty() ? QDir::cleanPath(QDir(path).absolutePath()) : canonical;
    const QByteArray hash =
        QCryptographicHash::hash(encodePath(key), QCryptographicHash::Sha1).toHex();
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        runtime = QDir::tempPath();
    return runtime + QStringLiteral("/tessaline-folder-") + QString::fromLatin1(hash) +
           QStringLiteral(".lock");
}

} // namespace

bool FolderClaim::take(const QByteArray& folder) {
    release();
    auto lock = std::make_unique<QLockFile>(lockPathFor(folder));
    // Only a lock whose process has ended is stale, however long a run lasts.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return false;
    m_lock = std::move(lock);
    return true;
}

void FolderClaim::release() {
    m_lock.reset();
}
