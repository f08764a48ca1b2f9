#include "acquisition/storage_worker.h"

#include "acquisition/platform_files.h"

#include <algorithm>

using std::chrono::duration_cast;
using std::chrono::milliseconds;

struct StorageWorker::Shared {
    Shared(FileCalls& calls, std::function<void()> tellFront)
        : writer(calls), tell(std::move(tellFront)) {}

    mutable std::mutex mutex;
    std::condition_variable wake;    // the thread's: records, the end
    std::condition_variable settled; // the front's, at the end
    std::deque<PendingRecord> queue; // oldest first; the head may be in the thread's hands
    qsizetype queuedBytes = 0;
    qsizetype inFlight = 0; // records of the queue's head being written now
    bool unflushed = false;
    bool nudged = false;    // records arrived: try at once, even after a failure
    bool ending = false;    // write what is queued, flush and return
    bool abandoned = false; // the front is gone: report nothing
    bool failing = false;
    Clock::time_point retryAt{};
    Clock::time_point firstQueuedAt{}; // of the oldest record, while the thread gathers
    Clock::time_point lastWriteAt{};   // the thread's: when its last batch was written
    StorageProgress progress;
    bool told = false;                    // the front has been told and has not looked yet
    std::atomic<Clock::rep> busySince{0}; // in Clock ticks; 0 while in no file call

    DataFileWriter writer; // the thread's alone
    std::function<void()> tell;

    // Called with the lock held, so the front cannot go between the test and the post. The
    // front hears of failures and of the recovery after them; the rest it asks for when it
    // needs it, so a healthy disk costs the window no wakeup per record.
    void report(bool news) {
        settled.notify_all();
        if (!news || told || abandoned)
            return;
        told = true;
        tell();
    }
    void busy(bool on) {
        busySince = on ? std::max<Clock::rep>(1, Clock::now().time_since_epoch().count()) : 0;
    }
};

StorageWorker::StorageWorker(FileCalls& calls, std::function<void()> tell)
    : m_shared(std::make_shared<Shared>(calls, std::move(tell))) {
    m_thread = std::thread(&StorageWorker::run, m_shared);
}

StorageWorker::~StorageWorker() {
    QList<PendingRecord> left;
    qsizetype inDoubt = 0;
    if (m_thread.joinable())
        finish(milliseconds(2000), left, inDoubt);
}

void StorageWorker::push(PendingRecord record) {
    Shared& s = *m_shared;
    const std::lock_guard lock(s.mutex);
    s.queuedBytes += record.bytes();
    if (s.queue.empty())
        s.firstQueuedAt = Clock::now();
    s.queue.push_back(std::move(record));
    // After a failure a new record is a reason to try at once; otherwise the thread gathers
    // what arrives within kGather, and a steady flow for kWriteGap, into one open of the file.
    if (s.failing)
        s.nudged = true;
    if (s.failing || s.queue.size() == 1 || s.queue.size() == kBatch)
        s.wake.notify_one();
}

StorageProgress StorageWorker::takeProgress() {
    Shared& s = *m_shared;
    const std::lock_guard lock(s.mutex);
    s.told = false;
    const StorageProgress progress = s.progress;
    s.progress = {0, 0, 0, s.progress.error};
    return progress;
}

qsizetype StorageWorker::queued() const {
    const std::lock_guard lock(m_shared->mutex);
    return static_cast<qsizetype>(m_shared->queue.size());
}

qsizetype StorageWorker::queuedBytes() const {
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->queuedBytes;
}

QList<PendingRecord> StorageWorker::queuedRecords() const {
    const std::lock_guard lock(m_shared->mutex);
    return {m_shared->queue.begin(), m_shared->queue.end()};
}

milliseconds StorageWorker::busyFor() const {
    const Clock::rep since = m_shared->busySince;
    if (since == 0)
        return milliseconds(0);
    return duration_cast<milliseconds>(Clock::now() - Clock::time_point(Clock::duration(since)));
}

bool StorageWorker::settled() const {
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->queue.empty() && !m_shared->unflushed;
}

bool StorageWorker::finish(milliseconds deadline, QList<PendingRecord>& left, qsizetype& inDoubt) {
    Shared& s = *m_shared;
    std::unique_lock lock(s.mutex);
    s.ending = true;
    s.nudged = true;
    s.wake.notify_all();
    const bool done = s.settled.wait_for(
        lock, deadline, [&s] { return s.queue.empty() && !s.unflushed && s.inFlight == 0; });
    if (done) {
        lock.unlock();
        m_thread.join();
        return true;
    }
    left = {s.queue.begin(), s.queue.end()};
    inDoubt = s.inFlight;
    s.queue.clear();
    s.queuedBytes = 0;
    s.abandoned = true;
    s.wake.notify_all();
    lock.unlock();
    // A call to a share that stopped answering may never return, and cannot be cancelled.
    m_thread.detach();
    return false;
}

void StorageWorker::run(const std::shared_ptr<Shared>& shared) {
    Shared& s = *shared;
    std::unique_lock lock(s.mutex);
    while (!s.abandoned) {
        const Clock::time_point now = Clock::now();
        const Clock::time_point flushAt = s.writer.flushDue();
        const Clock::time_point writeAt =
            s.queue.empty() ? Clock::time_point::max()
            : s.failing     ? (s.nudged ? now : s.retryAt)
            : s.ending || qsizetype(s.queue.size()) >= kBatch
                ? now
                : std::max(s.firstQueuedAt + kGather, s.lastWriteAt + kWriteGap);
        if (writeAt <= now) {
            writeBatch(s, lock);
        } else if (flushAt <= now || (s.ending && s.unflushed)) {
            flush(s, lock); // the end does not wait for the second
        } else if (s.ending && s.queue.empty() && !s.unflushed) {
            break;
        } else {
            const Clock::time_point until = std::min(flushAt, writeAt);
            if (until == Clock::time_point::max())
                s.wake.wait(lock);
            else
                s.wake.wait_until(lock, until);
        }
    }
    s.settled.notify_all();
}

void StorageWorker::writeBatch(Shared& s, std::unique_lock<std::mutex>& lock) {
    s.nudged = false;
    QList<PendingRecord> batch;
    const QByteArray path = s.queue.front().target.path;
    for (auto it = s.queue.begin();
         it != s.queue.end() && batch.size() < kBatch && it->target.path == path; ++it)
        batch.append(*it);
    s.inFlight = batch.size();
    lock.unlock();

    s.busy(true);
    // One open and close for the batch: between them nothing but its records is written.
    int32_t error = s.writer.File_open(batch.first().target);
    qsizetype done = error == 0 ? alreadyWritten(batch) : 0;
    for (; error == 0 && done < batch.size(); ++done) {
        if (batch[done].write)
            error = s.writer.writeLine(batch[done].record);
        if (error != 0)
            break;
    }
    s.writer.close();
    s.busy(false);
    s.lastWriteAt = Clock::now();

    lock.lock();
    s.inFlight = 0;
    if (s.abandoned)
        return;
    qsizetype written = 0;
    for (qsizetype i = 0; i < done; ++i)
        written += batch[i].write ? 1 : 0;
    // A record that was only to head its file is not kept for another try.
    if (error != 0 && !batch[done].write)
        ++done;
    for (qsizetype i = 0; i < done; ++i) {
        s.queuedBytes -= s.queue.front().bytes();
        s.queue.pop_front();
    }
    s.progress.done += done;
    s.progress.written += written;
    s.progress.error = error;
    const bool wasFailing = s.failing;
    s.failing = error != 0;
    s.firstQueuedAt = {}; // what is left has waited its turn
    if (s.failing) {
        ++s.progress.failures;
        s.retryAt = Clock::now() + kRetryInterval;
    }
    s.unflushed = s.writer.anyUnflushed();
    s.report(s.failing || wasFailing);
}

qsizetype StorageWorker::alreadyWritten(const QList<PendingRecord>& batch) {
    QByteArray lines;
    qsizetype doubtful = 0;
    for (; doubtful < batch.size() && batch[doubtful].inDoubt; ++doubtful)
        if (batch[doubtful].write)
            lines += batch[doubtful].record + "\r\n";
    return doubtful > 0 && fileEndsWith(batch.first().target.path, lines) ? doubtful : 0;
}

void StorageWorker::flush(Shared& s, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    s.busy(true);
    s.writer.flushNow();
    s.busy(false);
    lock.lock();
    s.unflushed = s.writer.anyUnflushed();
    s.report(false);
}
