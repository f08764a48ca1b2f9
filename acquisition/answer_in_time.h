#pragma once

#include <QCoreApplication>
#include <QPointer>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

/// How long the window's thread waits for a folder or a volume list before it goes on without.
inline constexpr std::chrono::milliseconds kFolderAnswerWait{250};

/// Asks `question` (a look at the file system) on a thread of its own and waits up to `wait`
/// for the answer. A share that hangs may never answer, and a thread blocked in it cannot be
/// cancelled, so past the wait the thread is left behind: its answer, if it ever comes, goes to
/// `late` on the window's thread, while `receiver` still exists (never, without one).
template <typename T>
std::optional<T> answerInTime(std::function<T()> question, std::chrono::milliseconds wait,
                              QObject* receiver, std::function<void(const T&)> late) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable answered;
        std::optional<T> answer;
        bool givenUp = false;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, question = std::move(question), guard = QPointer<QObject>(receiver),
                 late = std::move(late)] {
        T answer = question();
        {
            const std::lock_guard lock(shared->mutex);
            if (!shared->givenUp) {
                shared->answer = std::move(answer);
                shared->answered.notify_one();
                return;
            }
        }
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app,
                [guard, late, answer = std::move(answer)] {
                    if (guard)
                        late(answer);
                },
                Qt::QueuedConnection);
    }).detach();
    std::unique_lock lock(shared->mutex);
    if (shared->answered.wait_for(lock, wait, [&] { return shared->answer.has_value(); }))
        return std::move(shared->answer);
    shared->givenUp = true;
    return std::nullopt;
}
