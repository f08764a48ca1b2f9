// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QCoreApplication>
#include <QPointer>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

/// How long the window's thread waits for a folder or a volume list before it goes on without.
inline constexpr std::chrono::milliseconds kFolderAnswerWait{250};

/// Asks `question` (a look at the file system) on a thread of its own and waits up to `wait`
/// for the answer. A share that hangs may never answer, and a thread blocked in it cannot be
/// cancelled, so past the wait the thread is left behind: its answer, if it ever comes, goes to
/// `late` on the window's thread, while `receiver` still exists (never, without one). A
/// question asked again under the same `key` while it is still out gets no answer at once and
/// no second thread; its `late` hears the one answer. No thread to ask on: no answer.
template <typename T>
std::optional<T> answerInTime(const QString& key, std::function<T()> question,
                              std::chrono::milliseconds wait, QObject* receiver,
                              std::function<void(const T&)> late) {
    using Late = std::pair<QPointer<QObject>, std::function<void(const T&)>>;
    struct Asking {
        std::mutex mutex;
        std::condition_variable answered;
        std::optional<T> answer;
        std::vector<Late> late;
    };
    // Questions out now, by key; never locked while an Asking's mutex is held.
    static std::mutex outMutex;
    static std::map<QString, std::shared_ptr<Asking>> out;

    auto asking = std::make_shared<Asking>();
    {
        const std::lock_guard lock(outMutex);
        if (const auto it = out.find(key); it != out.end()) {
            const std::lock_guard askingLock(it->second->mutex);
            if (receiver && late)
                it->second->late.emplace_back(receiver, std::move(late));
            return std::nullopt;
        }
        out.emplace(key, asking);
    }
    try {
        std::thread([asking, key, question = std::move(question)] {
            T answer = question();
            {
                const std::lock_guard lock(outMutex);
                out.erase(key); // the next question asks afresh
            }
            std::vector<Late> told;
            {
                const std::lock_guard lock(asking->mutex);
                asking->answer = answer;
                asking->answered.notify_all();
                told.swap(asking->late);
            }
            QCoreApplication* app = QCoreApplication::instance();
            for (Late& l : told)
                if (app)
                    QMetaObject::invokeMethod(
                        app,
                        [guard = l.first, tell = std::move(l.second), answer] {
                            if (guard)
                                tell(answer);
                        },
                        Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error&) {
        const std::lock_guard lock(outMutex);
        out.erase(key);
        return std::nullopt;
    }
    std::unique_lock lock(asking->mutex);
    if (asking->answered.wait_for(lock, wait, [&] { return asking->answer.has_value(); }))
        return asking->answer;
    if (receiver && late)
        asking->late.emplace_back(receiver, std::move(late));
    return std::nullopt;
}
