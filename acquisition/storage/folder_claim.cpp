// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/folder_claim.h"

#include "acquisition/core/answer_in_time.h"
#include "acquisition/platform/platform_files.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

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

struct FolderClaimer::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable done;
    // A folder to claim, with the take's number, or nothing: let the claim go.
    std::deque<std::optional<std::pair<QByteArray, quint64>>> commands;
    bool ending = false;
    bool ended = false;
    // Posts, with the mutex held: once `ending` is set, never again.
    std::function<void(quint64 generation, bool alone)> answer;
};

FolderClaimer::FolderClaimer(std::function<void(bool alone)> answered)
    : m_answered(std::move(answered)), m_shared(std::make_shared<Shared>()) {
    m_shared->answer = [this](quint64 generation, bool alone) {
        QMetaObject::invokeMethod(
            &m_receiver,
            [this, generation, alone] {
                if (generation == m_generation)
                    m_answered(alone);
            },
            Qt::QueuedConnection);
    };
    m_thread = std::thread(&FolderClaimer::run, m_shared);
}

FolderClaimer::~FolderClaimer() {
    Shared& s = *m_shared;
    std::unique_lock lock(s.mutex);
    s.commands.emplace_back(std::nullopt);
    s.ending = true;
    s.wake.notify_all();
    const bool ended =
        s.done.wait_for(lock, std::chrono::milliseconds(kEndWaitMs), [&s] { return s.ended; });
    lock.unlock();
    if (ended)
        m_thread.join();
    else
        m_thread.detach();
}

void FolderClaimer::take(const QByteArray& folder) {
    const std::lock_guard lock(m_shared->mutex);
    m_shared->commands.emplace_back(std::pair(folder, ++m_generation));
    m_shared->wake.notify_all();
}

void FolderClaimer::release() {
    const std::lock_guard lock(m_shared->mutex);
    ++m_generation; // a take under way is answered to nobody
    m_shared->commands.emplace_back(std::nullopt);
    m_shared->wake.notify_all();
}

void FolderClaimer::run(const std::shared_ptr<Shared>& shared) {
    Shared& s = *shared;
    FolderClaim claim;
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.wake.wait(lock, [&s] { return s.ending || !s.commands.empty(); });
        if (s.commands.empty())
            break;
        const auto command = s.commands.front();
        s.commands.pop_front();
        if (command && s.ending)
            continue; // nobody waits for the answer
        lock.unlock();
        bool alone = false;
        if (command)
            alone = claim.take(command->first);
        else
            claim.release();
        lock.lock();
        if (command && !s.ending)
            s.answer(command->second, alone);
    }
    s.ended = true;
    s.done.notify_all();
}
