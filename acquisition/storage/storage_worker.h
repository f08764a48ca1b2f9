// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/storage/data_file.h"
#include "acquisition/storage/file_order.h"
#include "acquisition/storage/pending_record.h"
#include "acquisition/storage/spool_format.h"

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

/// What the storage thread has done since the front last looked.
struct StorageProgress {
    qsizetype done = 0;    // records taken off the queue: written, or heading only
    qsizetype written = 0; // of them, records written
    int failures = 0;      // writes, closes and flushes that failed
    int32_t error = 0;     // while writing or flushing fails, the last code; else 0
    // Written, but their flush (or close) failed: the front keeps them in the spool until the
    // file flushes again. They are never written a second time.
    QList<PendingRecord> flushFailed;
    QList<FlushNotice> recovered;
};

/// The storage thread, the data folder's own, commanded from the window's thread: it takes records
/// from a queue shared with the front, in order, writes those of one file in one write at a place
/// it notes first, and flushes within a second of a write, never two flushes at once. A record
/// counts as on the medium only once the flush after its write succeeded. After a failure it tries
/// again once a second, or at once when records arrive. It never waits for the front, and the front
/// never waits for it, except at the end, and then only until a deadline: a thread blocked in a
/// call to a dead share is left behind, and begins no write after that.
class StorageWorker {
public:
    using Clock = std::chrono::steady_clock;

    /// `wakeFront` is called on the storage thread, without locks held, whenever there is news for
    /// the front (failures, recoveries); it must only post. `log` learns the places of spooled
    /// records before they are written. `order` says which files earlier runs still hold: their
    /// records wait, the others are written.
    StorageWorker(FileCalls& calls, std::shared_ptr<PlacementLog> log,
                  std::function<void()> wakeFront, std::shared_ptr<const FileOrder> order);
    ~StorageWorker();
    StorageWorker(const StorageWorker&) = delete;
    StorageWorker& operator=(const StorageWorker&) = delete;

    void push(PendingRecord record);
    /// An earlier run may have let go of a file: look again at what waits for one.
    void orderChanged();
    /// Records wait because an earlier run holds their file.
    bool waitsForEarlierRun() const;
    /// Progress since the last call.
    StorageProgress takeProgress();
    /// Records not written yet, rows of spreadsheet copies among them.
    qsizetype queued() const;
    /// Of them, records (the operator's count: a row is not one).
    qsizetype queuedRecords() const;
    /// Bytes held in memory: records not written, and written ones not yet flushed.
    qsizetype heldBytes() const;
    /// Records whose flush failed and has not worked since.
    qsizetype flushFailing() const;
    /// Records written since the queue last held one waiting longer than this.
    std::chrono::milliseconds oldestWaiting() const;
    /// The records in memory that are not in the spool, oldest first, marked as spooled now:
    /// the caller puts them there. Those being written carry their places.
    QList<PendingRecord> takeForSpool();
    /// Every record of this run up to here is on the medium, or was only to head its file.
    quint64 confirmedThrough() const;
    /// Since when the thread has been in one file call, or 0 ms while it is in none.
    std::chrono::milliseconds busyFor() const;
    /// True when nothing is queued and everything written is on the medium.
    bool settled() const;
    /// The end: writes what is queued and flushes, for at most `deadline`. True when it did
    /// (records whose flush failed come with the next progress); false when it gave up,
    /// leaving the thread to finish its call alone. `left`: the records not known to be on
    /// the medium, oldest first, with their places where a write of them was begun; records
    /// whose file an earlier run still holds are among them, never written.
    bool finish(std::chrono::milliseconds deadline, QList<PendingRecord>& left);

    static constexpr std::chrono::milliseconds kRetryInterval{1000};
    // Records that arrive within this time go into their file with one open.
    static constexpr std::chrono::milliseconds kGather{10};
    // Least time between two writes: a steady flow goes into its file with one open per this
    // time, and wakes the thread no more often.
    static constexpr std::chrono::milliseconds kWriteGap{100};
    // Records written in one write, at most, and their bytes.
    static constexpr qsizetype kBatch = 256;
    static constexpr qsizetype kBatchBytes = qsizetype(1) << 20;

private:
    struct Shared;
    // One file's part of a batch: a data file's records, or the rows of its spreadsheet copy.
    struct Part {
        FileTarget target;
        QList<size_t> at; // in the queue
        QList<PendingRecord> records;
        qsizetype bytes = 0;
        bool tried = false;
        QList<bool> landed;
        int32_t error = 0;
        int32_t settleFlushError = 0;
        int32_t closeError = 0;
    };
    static void run(const std::shared_ptr<Shared>& shared);
    static void writePart(Shared& s, std::unique_lock<std::mutex>& lock, Part& part);
    static void writeBatch(Shared& s, std::unique_lock<std::mutex>& lock, size_t first);
    static void flush(Shared& s, std::unique_lock<std::mutex>& lock);

    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};
