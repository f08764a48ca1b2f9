#pragma once

#include "acquisition/data_file.h"

#include <QByteArray>
#include <QList>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

/// One record on its way to its data file.
struct PendingRecord {
    quint64 seq = 0; // the front's count, in arrival order
    FileTarget target;
    QByteArray record;  // without its CR LF
    bool write = true;  // false: its file is only opened and headed (a run's first record)
    qint64 stampMs = 0; // when its line arrived, to tell the operator should it be lost
    // Written by a run that ended while a call writing it had not returned: it may be in its
    // file already, and is written only if the file does not end with it.
    bool inDoubt = false;
    qsizetype bytes() const { return target.path.size() + target.header.size() + record.size(); }
};

/// What the storage thread has done since the front last looked.
struct StorageProgress {
    qsizetype done = 0;    // records taken off the queue: written, or heading only
    qsizetype written = 0; // of them, records written
    int failures = 0;      // attempts that failed
    int32_t error = 0;     // the last attempt's failure, or 0 when it succeeded
};

/// The data folder's own thread: it takes records from a queue shared with the front, in order,
/// writes each into the file its line end chose, and flushes within a second of a write, never
/// two flushes at once. After a failure it tries again once a second, or at once when records
/// arrive. It never waits for the front, and the front never waits for it, except at the end,
/// and then only until a deadline: a thread blocked in a call to a dead share is left behind.
class StorageWorker {
public:
    using Clock = std::chrono::steady_clock;

    /// `tell` is called on the storage thread, without locks held, whenever there is progress
    /// to see; it must only post.
    StorageWorker(FileCalls& calls, std::function<void()> tell);
    ~StorageWorker();
    StorageWorker(const StorageWorker&) = delete;
    StorageWorker& operator=(const StorageWorker&) = delete;

    void push(PendingRecord record);
    /// Progress since the last call.
    StorageProgress takeProgress();
    /// Records not written yet, oldest first, and their size.
    qsizetype queued() const;
    qsizetype queuedBytes() const;
    QList<PendingRecord> queuedRecords() const;
    /// Since when the thread has been in one file call, or 0 ms while it is in none.
    std::chrono::milliseconds busyFor() const;
    /// True when nothing is queued and everything written is on the medium.
    bool settled() const;
    /// The end: writes what is queued and flushes, for at most `deadline`. True when it did;
    /// false when it gave up, leaving the thread to finish its call alone. What it had not
    /// written is then in `left`, oldest first, the records of a call that may still land
    /// marked by `inDoubt` (their count, from the front of `left`).
    bool finish(std::chrono::milliseconds deadline, QList<PendingRecord>& left, qsizetype& inDoubt);

    static constexpr std::chrono::milliseconds kRetryInterval{1000};
    // Records that arrive within this time go into their file with one open.
    static constexpr std::chrono::milliseconds kGather{10};
    // Least time between two writes: a steady flow goes into its file with one open per this
    // time, and wakes the thread no more often.
    static constexpr std::chrono::milliseconds kWriteGap{100};
    // Records written between one open and the close after it, at most.
    static constexpr qsizetype kBatch = 256;

private:
    struct Shared;
    static void run(const std::shared_ptr<Shared>& shared);
    static void writeBatch(Shared& s, std::unique_lock<std::mutex>& lock);
    static void flush(Shared& s, std::unique_lock<std::mutex>& lock);
    // Of a batch that starts with records in doubt, how many its file already ends with.
    static qsizetype alreadyWritten(const QList<PendingRecord>& batch);

    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};
