// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/storage_worker.h"

#include "acquisition/storage/spreadsheet_copy.h"

#include <QHash>
#include <algorithm>
#include <cerrno>

using std::chrono::duration_cast;
using std::chrono::milliseconds;

namespace {

// Written records of one file whose flush failed, until a flush of it works.
struct FailingFile {
    QByteArray folder;
    qsizetype records = 0;
    quint64 firstSeq = 0;
    qint64 firstMs = 0;
    qint64 lastMs = 0;
    int32_t error = 0;
};

} // namespace

struct StorageWorker::Shared {
    Shared(FileCalls& fileCalls, std::shared_ptr<PlacementLog> placementLog,
           std::function<void()> tellFront, std::shared_ptr<const FileOrder> fileOrder)
        : calls(fileCalls), writer(fileCalls), log(std::move(placementLog)),
          wakeFront(std::move(tellFront)), order(std::move(fileOrder)) {}

    mutable std::mutex mutex;
    std::condition_variable wake;    // the thread's: records, the end
    std::condition_variable settled; // the front's, at the end
    std::deque<PendingRecord> queue; // oldest first; the head may be in the thread's hands
    std::deque<Clock::time_point> queuedAt;
    qsizetype heldBytes = 0;
    qsizetype queuedRows = 0;            // of spreadsheet copies, in the queue
    qsizetype inFlight = 0;              // records of the queue's head being written now
    std::deque<PendingRecord> unflushed; // written, waiting for the flush that confirms them
    QHash<QByteArray, FailingFile> failingFiles;
    quint64 lastPushed = 0;
    bool flushPending = false; // the writer has something to flush
    bool orderWaits = false;   // records wait for a file an earlier run holds
    bool nudged = false;       // the end: try at once, even after a failure
    bool ending = false;       // write what is queued, flush and return
    bool endFlushed = false;   // ending, and the flush after the last write is done
    bool abandoned = false;    // the front is gone: write nothing more, report nothing
    bool stopped = false;      // the thread has left its loop
    int32_t writeError = 0;
    Clock::time_point retryAt{};
    // Spreadsheet copies whose last write failed, and when each is tried again; their rows
    // wait, their records do not.
    QHash<QByteArray, int32_t> csvFailing;
    QHash<QByteArray, Clock::time_point> csvRetryAt;
    Clock::time_point lastWriteAt{}; // the thread's: when its last batch was written
    StorageProgress progress;
    bool told = false;                    // the front has been told and has not looked yet
    std::atomic<Clock::rep> busySince{0}; // in Clock ticks; 0 while in no file call

    FileCalls& calls;
    DataFileWriter writer; // the thread's alone
    std::shared_ptr<PlacementLog> log;
    std::function<void()> wakeFront;
    std::shared_ptr<const FileOrder> order;

    bool csvMayWrite(const QByteArray& path) const {
        return !csvRetryAt.contains(path) && order->mayWrite(FileOrder::kPresent, path);
    }
    // With the lock held: the first queued record whose file no earlier run holds, whose
    // batch goes next; records of held files wait where they are, and so do rows of a
    // spreadsheet copy whose write failed a moment ago, or whose record waits.
    size_t firstWritable() {
        const QByteArray* path = nullptr;
        bool may = false;
        bool held = false;
        for (size_t i = 0; i < queue.size(); ++i) {
            const PendingRecord& record = queue[i];
            const bool row = isCsvRow(record);
            if (!path || record.target.path != *path) {
                path = &record.target.path;
                may = order->mayWrite(FileOrder::kPresent, *path);
                held = held || !may;
                may = may && (!row || !csvRetryAt.contains(*path));
            }
            if (may && !(row && i > 0 && queue[i - 1].seq + 1 == record.seq)) {
                orderWaits = held;
                return i;
            }
        }
        orderWaits = held;
        return queue.size();
    }
    // Copies whose time to try again has come.
    Clock::time_point nextCsvRetry(Clock::time_point now) {
        Clock::time_point next = Clock::time_point::max();
        for (auto it = csvRetryAt.begin(); it != csvRetryAt.end();) {
            if (*it <= now) {
                it = csvRetryAt.erase(it);
                continue;
            }
            next = std::min(next, *it);
            ++it;
        }
        return next;
    }
    // In the order of the run, whichever file goes first: what is confirmed is a prefix of it.
    void keepUnflushed(PendingRecord record) {
        if (unflushed.empty() || unflushed.back().seq < record.seq) {
            unflushed.push_back(std::move(record));
            return;
        }
        const auto at = std::upper_bound(
            unflushed.begin(), unflushed.end(), record.seq,
            [](quint64 seq, const PendingRecord& other) { return seq < other.seq; });
        unflushed.insert(at, std::move(record));
    }
    // The records at `items`' places (ascending), taken off the queue in one pass: those left
    // between them close up towards the back, and the gap goes with one erase, which moves the
    // shorter side of the deque, the front one when the oldest are taken.
    template <typename Items, typename At>
    QList<PendingRecord> takeSorted(const Items& items, At at) {
        QList<PendingRecord> records;
        if (items.isEmpty())
            return records;
        records.reserve(items.size());
        const size_t low = at(items.first());
        const size_t high = at(items.last());
        for (const auto& item : items) {
            PendingRecord& record = queue[at(item)];
            heldBytes -= record.bytes();
            queuedRows -= isCsvRow(record) ? 1 : 0;
            records.append(std::move(record));
        }
        size_t write = high + 1;
        qsizetype next = items.size() - 1;
        for (size_t read = high + 1; read-- > low;) {
            if (next >= 0 && at(items[next]) == read) {
                --next;
                continue;
            }
            --write;
            queue[write] = std::move(queue[read]);
            queuedAt[write] = queuedAt[read];
        }
        const auto gap = [&](auto& list) {
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(low),
                       list.begin() + static_cast<std::ptrdiff_t>(write));
        };
        gap(queue);
        gap(queuedAt);
        return records;
    }
    PendingRecord take(size_t at) {
        PendingRecord record = std::move(queue[at]);
        heldBytes -= record.bytes();
        queuedRows -= isCsvRow(record) ? 1 : 0;
        queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(at));
        queuedAt.erase(queuedAt.begin() + static_cast<std::ptrdiff_t>(at));
        return record;
    }
    // Called with the lock held, so the front cannot go between the test and the post. The
    // front hears of failures and of the recovery after them; the rest it asks for when it
    // needs it, so a healthy disk costs the window no wakeup per record.
    void report(bool news) {
        progress.error = writeError;
        if (progress.error == 0 && !failingFiles.isEmpty())
            progress.error = failingFiles.begin()->error;
        if (progress.error == 0 && !csvFailing.isEmpty())
            progress.error = *csvFailing.cbegin();
        settled.notify_all();
        if (!news || told || abandoned)
            return;
        told = true;
        wakeFront();
    }
    void busy(bool on) {
        busySince = on ? std::max<Clock::rep>(1, Clock::now().time_since_epoch().count()) : 0;
    }
    // The written records of `path` are not known to be on the medium: the front keeps those
    // the spool lacks, and the file is flushed again until it works.
    void failFile(const QByteArray& path, int32_t error) {
        FailingFile& file = failingFiles[path];
        file.error = error;
        for (auto it = unflushed.begin(); it != unflushed.end();) {
            if (it->target.path != path) {
                ++it;
                continue;
            }
            if (file.records++ == 0) {
                file.firstSeq = it->seq;
                file.firstMs = it->stampMs;
                file.folder = it->target.folder;
            }
            file.lastMs = it->stampMs;
            heldBytes -= it->bytes();
            if (!it->spooled)
                progress.flushFailed.append(std::move(*it));
            it = unflushed.erase(it);
        }
        ++progress.failures;
    }
};

StorageWorker::StorageWorker(FileCalls& calls, std::shared_ptr<PlacementLog> log,
                             std::function<void()> wakeFront,
                             std::shared_ptr<const FileOrder> order)
    : m_shared(
          std::make_shared<Shared>(calls, std::move(log), std::move(wakeFront), std::move(order))) {
    m_thread = std::thread(&StorageWorker::run, m_shared);
}

StorageWorker::~StorageWorker() {
    QList<PendingRecord> left;
    if (m_thread.joinable())
        finish(milliseconds(2000), left);
}

void StorageWorker::push(PendingRecord record) {
    Shared& s = *m_shared;
    const std::lock_guard lock(s.mutex);
    s.heldBytes += record.bytes();
    s.queuedRows += isCsvRow(record) ? 1 : 0;
    s.lastPushed = record.seq;
    s.queue.push_back(std::move(record));
    s.queuedAt.push_back(Clock::now());
    // The thread gathers what arrives within kGather, and a steady flow for kWriteGap, into
    // one write. After a failure it tries again once a retry interval has passed, however many
    // records arrive: a full medium costs one try a second, not one a record.
    // While records wait for an earlier run, a new one may be for a file the thread may write.
    if (s.queue.size() == 1 || s.orderWaits || qsizetype(s.queue.size()) == kBatch)
        s.wake.notify_one();
}

void StorageWorker::orderChanged() {
    // Whether it waits is the thread's to find out: the front's look does not say it slept.
    m_shared->wake.notify_one();
}

bool StorageWorker::waitsForEarlierRun() const {
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->orderWaits;
}

StorageProgress StorageWorker::takeProgress() {
    Shared& s = *m_shared;
    const std::lock_guard lock(s.mutex);
    s.told = false;
    StorageProgress progress = std::move(s.progress);
    s.progress = {};
    s.progress.error = progress.error;
    return progress;
}

qsizetype StorageWorker::queued() const {
    const std::lock_guard lock(m_shared->mutex);
    return static_cast<qsizetype>(m_shared->queue.size());
}

qsizetype StorageWorker::queuedRecords() const {
    const std::lock_guard lock(m_shared->mutex);
    return static_cast<qsizetype>(m_shared->queue.size()) - m_shared->queuedRows;
}

qsizetype StorageWorker::heldBytes() const {
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->heldBytes;
}

qsizetype StorageWorker::flushFailing() const {
    const std::lock_guard lock(m_shared->mutex);
    qsizetype records = 0;
    for (auto it = m_shared->failingFiles.cbegin(); it != m_shared->failingFiles.cend(); ++it)
        records += isCsvPath(it.key()) ? 0 : it->records;
    return records;
}

milliseconds StorageWorker::oldestWaiting() const {
    const std::lock_guard lock(m_shared->mutex);
    // Records that wait for an earlier run's are not late: the folder is not the cause.
    const size_t first = m_shared->firstWritable();
    if (first == m_shared->queuedAt.size())
        return milliseconds(0);
    return duration_cast<milliseconds>(Clock::now() - m_shared->queuedAt[first]);
}

QList<PendingRecord> StorageWorker::takeForSpool() {
    Shared& s = *m_shared;
    const std::lock_guard lock(s.mutex);
    QList<PendingRecord> records;
    // Written ones first: they are older, and only their flush is missing.
    for (auto* list : {&s.unflushed, &s.queue}) {
        for (PendingRecord& record : *list) {
            if (record.spooled || !record.write)
                continue;
            record.spooled = true;
            records.append(record);
        }
    }
    return records;
}

quint64 StorageWorker::confirmedThrough() const {
    const Shared& s = *m_shared;
    const std::lock_guard lock(s.mutex);
    quint64 through = s.lastPushed;
    if (!s.unflushed.empty())
        through = std::min(through, s.unflushed.front().seq - 1);
    if (!s.queue.empty())
        through = std::min(through, s.queue.front().seq - 1);
    for (const FailingFile& file : s.failingFiles)
        if (file.records > 0)
            through = std::min(through, file.firstSeq - 1);
    return through;
}

milliseconds StorageWorker::busyFor() const {
    const Clock::rep since = m_shared->busySince;
    if (since == 0)
        return milliseconds(0);
    return duration_cast<milliseconds>(Clock::now() - Clock::time_point(Clock::duration(since)));
}

bool StorageWorker::settled() const {
    const Shared& s = *m_shared;
    const std::lock_guard lock(s.mutex);
    return s.queue.empty() && s.unflushed.empty() && s.failingFiles.isEmpty() && !s.flushPending;
}

bool StorageWorker::finish(milliseconds deadline, QList<PendingRecord>& left) {
    Shared& s = *m_shared;
    std::unique_lock lock(s.mutex);
    s.ending = true;
    s.nudged = true;
    s.csvRetryAt.clear(); // the end tries every file once more
    s.wake.notify_all();
    // What is left is known once the thread has stopped: until then an earlier run may let go
    // of a file, and the thread write its records.
    const bool done = s.settled.wait_for(lock, deadline, [&s] { return s.stopped; });
    left = {s.unflushed.begin(), s.unflushed.end()};
    left.append(QList<PendingRecord>(s.queue.begin(), s.queue.end()));
    std::stable_sort(left.begin(), left.end(),
                     [](const PendingRecord& a, const PendingRecord& b) { return a.seq < b.seq; });
    if (done) {
        lock.unlock();
        m_thread.join();
        return true;
    }
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
        const Clock::time_point csvRetry = s.nextCsvRetry(now);
        const Clock::time_point flushAt = s.writer.flushDue();
        const size_t first = s.firstWritable();
        const bool none = first == s.queue.size();
        const Clock::time_point writeAt =
            none                ? Clock::time_point::max()
            : s.writeError != 0 ? (s.nudged ? now : s.retryAt)
            : s.ending || qsizetype(s.queue.size() - first) >= kBatch
                ? now
                : std::max(s.queuedAt[first] + kGather, s.lastWriteAt + kWriteGap);
        if (writeAt <= now) {
            writeBatch(s, lock, first);
        } else if (flushAt <= now || (s.ending && s.flushPending && !s.endFlushed)) {
            flush(s, lock); // the end does not wait for the second
        } else if (s.ending && none && (!s.flushPending || s.endFlushed)) {
            break;
        } else {
            const Clock::time_point until = std::min({flushAt, writeAt, csvRetry});
            if (until == Clock::time_point::max())
                s.wake.wait(lock);
            else
                s.wake.wait_until(lock, until);
        }
    }
    s.stopped = true;
    s.settled.notify_all();
}

void StorageWorker::writePart(Shared& s, std::unique_lock<std::mutex>& lock, Part& part) {
    const qsizetype count = part.records.size();
    const QByteArray& path = part.target.path;
    part.landed = QList<bool>(count, false);
    // A thread left behind at the end begins no file after its call returns.
    lock.lock();
    const bool abandoned = s.abandoned;
    lock.unlock();
    if (abandoned) {
        part.error = ECANCELED;
        return;
    }
    const FileTurn turn(path);
    // A write reported failed may have landed all the same (a network file system can say so
    // of what it applied): records that have a place from an earlier try are looked for first.
    if (std::any_of(part.records.cbegin(), part.records.cend(),
                    [](const PendingRecord& record) { return record.place.known(); }))
        part.error = settlePlaced(s.calls, path, part.records, part.landed, part.settleFlushError);
    // What landed is in the file but perhaps not on the medium: it goes the way of a failed
    // flush, and nothing more is written to the file in this try.
    if (part.error != 0 || part.settleFlushError != 0)
        return;
    // One open, one write and one close for the part: between them nothing but its records.
    part.error = s.writer.File_open(part.target);
    if (part.error == 0) {
        QByteArray lines;
        lines.reserve(part.bytes);
        QList<SeqPlace> places;
        bool logIt = false;
        const FilePlace at = s.writer.nextPlace();
        lock.lock();
        // Places go with the records before any write, so whoever takes them (the spool, the
        // end) knows where a write of them may have landed.
        for (qsizetype i = 0; i < count; ++i) {
            PendingRecord& record = s.queue[part.at[i]];
            if (!record.write || part.landed[i])
                continue;
            record.place = {at.offset + lines.size(), at.fileId};
            places.append({record.seq, record.place.offset});
            lines += record.record;
            lines += "\r\n";
            logIt = logIt || record.spooled;
        }
        bool begun = !s.abandoned;
        lock.unlock();
        if (begun && logIt && s.log) {
            s.log->logPlaces(path, at.fileId, places);
            lock.lock();
            begun = !s.abandoned; // the end may have come while the local disk was slow
            lock.unlock();
        }
        if (begun && !lines.isEmpty()) {
            part.error = s.writer.appendLines(lines);
            const qint64 shift = s.writer.lastAppendAt() - at.offset;
            if (part.error == 0 && shift != 0) {
                // Another program appended between our look and our write: the places move.
                lock.lock();
                for (qsizetype i = 0; i < count; ++i) {
                    PendingRecord& record = s.queue[part.at[i]];
                    if (record.write && !part.landed[i])
                        record.place.offset += shift;
                }
                lock.unlock();
                for (SeqPlace& place : places)
                    place.offset += shift;
                if (logIt && s.log)
                    s.log->logPlaces(path, at.fileId, places);
            }
        }
    }
    part.closeError = s.writer.close();
}

void StorageWorker::writeBatch(Shared& s, std::unique_lock<std::mutex>& lock, size_t first) {
    // Only the front pushes meanwhile, at the back: `first` and what follows stay in place.
    s.nudged = false;
    s.endFlushed = false;
    // A data file and its spreadsheet copy go in one batch: the records, then the rows of those
    // that are in their file now.
    const QByteArray& firstPath = s.queue[first].target.path;
    const QByteArray dataPath = isCsvPath(firstPath) ? dataPathOfCsv(firstPath) : firstPath;
    const QByteArray csvPath = csvPathOf(dataPath);
    // After a row whose record went before, its file's records may be held by an earlier run.
    const bool dataMay = firstPath == dataPath || s.order->mayWrite(FileOrder::kPresent, dataPath);
    Part data;
    Part rows;
    qsizetype bytes = 0;
    size_t end = first;
    for (; end < s.queue.size() && end - first < size_t(kBatch); ++end) {
        const PendingRecord& record = s.queue[end];
        const bool row = record.target.path == csvPath;
        if ((!row && (record.target.path != dataPath || !dataMay)) ||
            (end > first && bytes + record.record.size() > kBatchBytes))
            break;
        bytes += record.record.size() + 2;
        Part& part = row ? rows : data;
        if (part.records.isEmpty())
            part.target = record.target;
        part.at.append(end);
        part.records.append(record);
        part.bytes += record.record.size() + 2;
    }
    // Rows of the copy that wait before `first` (its file held a moment ago) go first.
    bool rowsMay = !rows.records.isEmpty() && s.csvMayWrite(csvPath);
    for (size_t i = 0; rowsMay && i < first; ++i)
        rowsMay = s.queue[i].target.path != csvPath;
    s.inFlight = static_cast<qsizetype>(end - first);
    lock.unlock();

    s.busy(true);
    if (!data.records.isEmpty()) {
        data.tried = true;
        writePart(s, lock, data);
    }
    // A row is written only once its record is in its file: never a row without its record.
    // Nor after a close that failed: the records may not be on the medium.
    if (rowsMay && data.error == 0 && data.settleFlushError == 0 && data.closeError == 0) {
        rows.tried = true;
        writePart(s, lock, rows);
    }
    s.busy(false);
    s.lastWriteAt = Clock::now();

    lock.lock();
    s.inFlight = 0;
    s.flushPending = s.writer.anyUnflushed();
    if (s.abandoned)
        return;
    const bool wasFailing = s.writeError != 0;
    bool news = wasFailing;
    // Taken off the queue back to front, so the places of the others hold.
    struct Taken {
        size_t at;
        bool keep; // written now, or found and not flushed: waits for the flush that confirms it
    };
    QList<Taken> taken;
    QList<std::pair<QByteArray, int32_t>> failing;
    for (Part* part : {&data, &rows}) {
        if (!part->tried)
            continue;
        const bool row = part == &rows;
        const QByteArray& path = part->target.path;
        const qsizetype count = part->records.size();
        if (part->error == 0 && part->settleFlushError != 0) {
            for (qsizetype i = 0; i < count; ++i)
                if (part->landed[i])
                    taken.append({part->at[i], true});
            // Flushed again with the writer's next flush, until it works.
            s.writer.flushLater(path);
            s.flushPending = true;
            failing.append({path, part->settleFlushError});
            news = true;
            if (!row)
                s.writeError = 0; // what failed is the flush, told as a flush's failure
            continue;
        }
        if (part->error != 0) {
            // The records keep their places: the next try looks for them there first.
            // A record that was only to head its file is not kept for another try.
            if (!part->records.first().write)
                taken.append({part->at.first(), false});
            ++s.progress.failures;
            news = true;
            if (row) {
                // Its records go on meanwhile: a copy that cannot be written holds none back.
                s.csvFailing.insert(path, part->error);
                s.csvRetryAt.insert(path, Clock::now() + kRetryInterval);
            } else {
                s.writeError = part->error;
                s.retryAt = Clock::now() + kRetryInterval;
            }
            continue;
        }
        for (qsizetype i = 0; i < count; ++i)
            taken.append({part->at[i], part->records[i].write && !part->landed[i]});
        if (row)
            news = s.csvFailing.remove(path) || news; // the front hears of the recovery
        else
            s.writeError = 0;
        if (part->closeError != 0) {
            failing.append({path, part->closeError});
            news = true;
        }
    }
    // Oldest first, so each goes to the back of those waiting for their flush; the queue is
    // closed up in one pass.
    std::sort(taken.begin(), taken.end(),
              [](const Taken& a, const Taken& b) { return a.at < b.at; });
    const QList<PendingRecord> out = s.takeSorted(taken, [](const Taken& t) { return t.at; });
    for (qsizetype i = 0; i < out.size(); ++i) {
        PendingRecord record = out[i];
        ++s.progress.done;
        if (!record.write)
            continue;
        if (!isCsvRow(record))
            ++s.progress.written;
        if (!taken[i].keep)
            continue; // found in its file, and flushed then
        s.heldBytes += record.bytes();
        s.keepUnflushed(std::move(record));
    }
    for (const auto& [path, error] : failing)
        s.failFile(path, error);
    s.report(news);
}

void StorageWorker::flush(Shared& s, std::unique_lock<std::mutex>& lock) {
    // Which folder each written file is in, for a folder whose flush fails.
    QHash<QByteArray, QByteArray> folders;
    for (const PendingRecord& record : s.unflushed)
        folders.insert(record.target.path, record.target.folder);
    for (auto it = s.failingFiles.cbegin(); it != s.failingFiles.cend(); ++it)
        folders.insert(it.key(), it->folder);
    const QList<QByteArray> syncing = s.writer.unflushedFiles();
    lock.unlock();
    s.busy(true);
    const QList<DataFileWriter::FlushFailure> failures = s.writer.flushNow();
    s.busy(false);
    lock.lock();
    s.flushPending = s.writer.anyUnflushed();
    s.endFlushed = s.ending && s.firstWritable() == s.queue.size();
    if (s.abandoned)
        return;
    QHash<QByteArray, int32_t> failed;
    for (const DataFileWriter::FlushFailure& failure : failures) {
        failed.insert(failure.path, failure.error);
        for (auto it = folders.cbegin(); it != folders.cend(); ++it)
            if (it.value() == failure.path)
                failed.insert(it.key(), failure.error);
    }
    // Files that failed before and flushed now: the operator learns what may be missing.
    bool news = !failed.isEmpty();
    for (auto it = s.failingFiles.begin(); it != s.failingFiles.end();) {
        if (failed.contains(it.key()) || !syncing.contains(it.key())) {
            ++it;
            continue;
        }
        s.progress.recovered.append({it.key(), it->records, it->firstMs, it->lastMs, it->error});
        it = s.failingFiles.erase(it);
        news = true;
    }
    for (auto it = s.unflushed.begin(); it != s.unflushed.end();) {
        if (failed.contains(it->target.path)) {
            ++it;
            continue;
        }
        s.heldBytes -= it->bytes();
        it = s.unflushed.erase(it);
    }
    for (auto it = failed.cbegin(); it != failed.cend(); ++it)
        s.failFile(it.key(), it.value());
    s.report(news);
}
