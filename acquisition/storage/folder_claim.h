// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QObject>
#include <functional>
#include <memory>
#include <thread>

/// This logger's claim on the data folder it receives into, so that a second logger of the
/// same account can tell it is not alone there. The claim is a lock in the account's runtime
/// folder, keyed by the folder's canonical path: nothing is put in the data folder, and the
/// claim ends with the process that holds it, however it ends.
class FolderClaim {
public:
    /// Claims `folder`, giving up any earlier claim; false when another process holds it.
    bool take(const QByteArray& folder);
    void release();

private:
    std::unique_ptr<QLockFile> m_lock;
};

/// On the window's thread, claiming on a thread of its own: the folder's canonical path and the
/// lock are file-system calls, and the window's thread makes none once it runs. Each take is
/// answered by `answered(alone)`, posted to the thread that built it; an answer to a take that a
/// later take or release overtook is not given.
class FolderClaimer {
public:
    explicit FolderClaimer(std::function<void(bool alone)> answered);
    /// Lets the claim go; a thread left in a call is left to it.
    ~FolderClaimer();
    FolderClaimer(const FolderClaimer&) = delete;
    FolderClaimer& operator=(const FolderClaimer&) = delete;

    void take(const QByteArray& folder);
    void release();

    static constexpr int kEndWaitMs = 1000;

private:
    struct Shared;
    static void run(const std::shared_ptr<Shared>& shared);

    QObject m_receiver; // where answers are posted
    std::function<void(bool)> m_answered;
    quint64 m_generation = 0;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};
