// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/record_store.h"

#include "acquisition/core/loop_view.h"
#include "acquisition/core/message_sink.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/platform_files.h"
#include "acquisition/storage/spreadsheet_copy.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QPointer>
#include <cstdio>
#include <memory>
#include <mutex>

using std::chrono::milliseconds;

namespace {
constexpr qint64 kBeepIntervalMs = 1000;
constexpr qint64 kRefillBytes = qint64(8) << 20;
constexpr milliseconds kLeftoversEndWait{1000};

// Records the operator sent into another folder are the one exception to oldest first.
QString redirectedWord(const QByteArray& folder) {
    if (folder.isEmpty())
        return {};
    return QStringLiteral(" into %1, perhaps after newer records there")
        .arg(QDir::toNativeSeparators(decodePath(folder)));
}

QString timeOf(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy/MM/dd hh:mm:ss"));
}

// Posts `slot` to `store` on its thread, if it still exists when the post arrives: threads
// left in a call to a dead share may speak after the store is gone.
std::function<void()> poster(RecordStore* store, void (RecordStore::*slot)()) {
    return [guard = QPointer<RecordStore>(store), slot] {
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app,
                [guard, slot] {
                    if (guard)
                        (guard->*slot)();
                },
                Qt::QueuedConnection);
    };
}
} // namespace

RecordStore::RecordStore(const Clock& clock, MessageSink& messages, LoopView& view,
                         FileCalls& calls, const QString& spoolFolder, FileCalls& spoolCalls,
                         QObject* parent)
    : QObject(parent), m_clock(clock), m_messages(messages), m_view(view),
      m_spool(spoolFolder, spoolCalls), // on the local disk, whatever the data folder is on
      m_leftovers(spoolFolder, calls, poster(this, &RecordStore::watch), m_order),
      m_worker(calls, m_spool.placementLog(), poster(this, &RecordStore::takeProgress), m_order) {
    m_watch.setInterval(kWatchIntervalMs);
    connect(&m_watch, &QTimer::timeout, this, &RecordStore::watch);
}

RecordStore::~RecordStore() = default;

void RecordStore::lineEnd(const QByteArray& record, bool write, qint64 stampMs, qint64 endMs,
                          qsizetype lineFrom) {
    PendingRecord pending;
    pending.seq = m_nextSeq++;
    // Without an arrival time (a port that keeps none), the time the line is seen.
    const qint64 atMs = endMs >= 0 ? endMs : m_clock.nowMs();
    pending.target = fileTargetAt(m_localTime, atMs);
    // Records of one file share their target's bytes, in memory until they are flushed.
    if (pending.target.path == m_lastTarget.path && pending.target.header == m_lastTarget.header &&
        pending.target.folder == m_lastTarget.folder)
        pending.target = m_lastTarget;
    else
        m_lastTarget = pending.target;
    pending.record = record;
    pending.write = write;
    pending.stampMs = stampMs;
    if (varlin_def.CsvCopy != kTrue) {
        push({std::move(pending)});
    } else {
        // Its row follows it everywhere it goes, written once it is in its file.
        PendingRecord row;
        row.seq = m_nextSeq++;
        const CsvLayout layout{varlin_def.CsvNumbers, varlin_def.CsvDecimalComma == kTrue};
        // Built once per data file and layout, not per record.
        if (pending.target.path != m_lastCsvOf || layout.numbers != m_lastCsvLayout.numbers ||
            layout.decimalComma != m_lastCsvLayout.decimalComma) {
            m_lastCsvTarget = csvTargetOf(pending.target, layout);
            m_lastCsvOf = pending.target.path;
            m_lastCsvLayout = layout;
        }
        row.target = m_lastCsvTarget;
        row.record = csvRow(layout, m_localTime.at(atMs), record, lineFrom);
        row.write = write;
        row.stampMs = stampMs;
        push({std::move(pending), std::move(row)});
    }
    if (!m_watch.isActive())
        m_watch.start();
}

void RecordStore::push(QList<PendingRecord> records) {
    // A record and its row go the same way: never one kept and the other lost.
    qsizetype bytes = 0;
    for (const PendingRecord& record : std::as_const(records))
        bytes += record.bytes();
    const bool memoryFull = m_spoolOnly || m_worker.heldBytes() + bytes > kMemoryBound;
    const PendingRecord& first = records.first();
    // A record that waits for an earlier run's records is kept on the local disk from the start.
    if (!m_spooling && first.write && !m_order->mayWrite(FileOrder::kPresent, first.target.path))
        startSpooling();
    if (!memoryFull) {
        tellLoss();
        if (m_spooling && first.write) {
            for (PendingRecord& record : records)
                record.spooled = true;
            m_spool.appendRecords(records);
            ++m_spooled;
        }
        for (PendingRecord& record : records)
            m_worker.push(std::move(record));
        return;
    }
    // Memory is full: the spool alone holds the record, if it can take it now.
    if (!m_spooling)
        startSpooling();
    const bool spoolTakes = !m_spool.failing() && m_spool.busyFor() < milliseconds(kSpoolAfterMs);
    if (!spoolTakes) {
        lose(first);
        return;
    }
    tellLoss();
    if (!m_spoolOnly) {
        m_spoolOnly = m_spool.nextAppendAt();
        m_spoolOnlyFirstSeq = first.seq;
    }
    for (PendingRecord& record : records)
        record.spooled = true;
    m_spool.appendRecords(records);
    ++m_spoolOnlyCount;
    ++m_spooled;
}

qsizetype RecordStore::waiting() const {
    return m_worker.queuedRecords() + m_worker.flushFailing() + m_spoolOnlyCount;
}

void RecordStore::startPressed() {
    m_leftovers.adopt();
    if (!m_watch.isActive())
        m_watch.start();
    showWord();
}

void RecordStore::writeLeftoversHere() {
    m_leftovers.redirect(varlin_def.SavePath);
    if (!m_watch.isActive())
        m_watch.start();
    watch();
}

void RecordStore::takeProgress() {
    // A box of ours is up: its event loop brought us here; we look when it is dismissed.
    if (m_inBox) {
        m_progressDue = true;
        return;
    }
    StorageProgress progress = m_worker.takeProgress();
    // Written once, flushed never: kept until their file flushes, and never written again.
    m_spool.appendRecords(progress.flushFailed);
    const bool wasFailing = m_failing;
    if (wasFailing)
        m_writtenSinceFailure += progress.written;
    if (progress.failures > 0) {
        const qsizetype waitingNow = waiting();
        if (waitingNow > 0)
            m_view.setTitleText(QStringLiteral("Data file output error.  %1 : %2 records waiting")
                                    .arg(progress.error)
                                    .arg(waitingNow));
        if (!wasFailing) {
            m_failing = true;
            m_failingFor.start();
            m_writtenSinceFailure = 0;
            showBox(dataFileErrorText(progress.error)); // File_open's, once a burst
        } else {
            beepAtMostOnceASecond();
        }
    }
    if (m_failing && progress.error == 0) {
        m_failing = false;
        if (m_writtenSinceFailure > 0)
            m_view.setTitleText(
                QStringLiteral("%1 waiting records written").arg(m_writtenSinceFailure));
    }
    for (const FlushNotice& notice : std::as_const(progress.recovered))
        tellFlushRecovered(notice);
    watch();
}

void RecordStore::watch() {
    const milliseconds busy = m_worker.busyFor();
    // A folder slow in every call hangs in none, yet records wait as long.
    const bool hung = busy >= milliseconds(kSpoolAfterMs) ||
                      m_worker.oldestWaiting() >= milliseconds(kSpoolAfterMs) ||
                      (m_failing && m_failingFor.elapsed() >= kSpoolAfterMs);
    const bool waitsForEarlierRun = m_worker.waitsForEarlierRun();
    m_leftovers.check(waitsForEarlierRun);
    m_worker.orderChanged();
    const Leftovers::State leftovers = m_leftovers.state();
    if (!m_inBox)
        for (const FlushNotice& notice : m_leftovers.takeFlushNotices())
            tellFlushRecovered(notice);
    const bool needed =
        hung || waitsForEarlierRun || m_spoolOnly.has_value() || m_worker.flushFailing() > 0;
    // Written records whose flush hangs count too: a power cut would take them.
    if (needed && !m_spooling && !m_worker.settled())
        startSpooling();
    // Once the thread keeps up again, new records need no copy: they are written within the
    // usual moment, and the spool empties as the files are flushed.
    if (m_spooling && !needed && m_worker.queued() < StorageWorker::kBatch &&
        m_worker.oldestWaiting() < milliseconds(kCaughtUpMs)) {
        m_spooling = false;
        m_view.journal(JournalLevel::Notice,
                       QStringLiteral("The data folder keeps up again: %1 records were also kept "
                                      "in the spool meanwhile; new ones go straight to it")
                           .arg(std::exchange(m_spooled, 0)));
    }
    m_notAnswering = busy >= milliseconds(kTellAfterMs);
    if (m_spoolOnly && !m_refilling && !hung && !m_failing &&
        m_worker.heldBytes() < kMemoryBound / 2)
        refillFromSpool();
    quint64 confirmed = m_worker.confirmedThrough();
    if (m_spoolOnly)
        confirmed = std::min(confirmed, m_spoolOnlyFirstSeq - 1);
    if (confirmed > m_droppedThrough && !m_spool.empty()) {
        m_spool.dropThrough(confirmed);
        m_droppedThrough = confirmed;
    }
    const bool quiet = m_worker.settled() && !m_spoolOnly && !m_spooling &&
                       leftovers.writing == 0 && leftovers.waiting == 0;
    if (quiet)
        m_watch.stop();
    else if (!m_watch.isActive())
        m_watch.start();
    if ((leftovers.waiting > 0) != m_leftoversWaiting) {
        m_leftoversWaiting = leftovers.waiting > 0;
        m_view.showLeftoversWaiting(m_leftoversWaiting);
    }
    showWord();
}

void RecordStore::startSpooling() {
    m_spooling = true;
    const QList<PendingRecord> waiting = m_worker.takeForSpool();
    m_spooled = std::count_if(waiting.begin(), waiting.end(),
                              [](const PendingRecord& r) { return !isCsvRow(r); });
    m_spool.appendRecords(waiting);
    m_view.journal(JournalLevel::Warning,
                   QStringLiteral("Records are kept in the spool %1 too, till the data folder "
                                  "keeps up")
                       .arg(QDir::toNativeSeparators(m_spool.folder())));
}

void RecordStore::refillFromSpool() {
    // What the spool alone holds goes back to memory in order, read on the spool's thread: the
    // state folder may hang as well. Meanwhile new records still go to the spool alone.
    m_refilling = true;
    // The records cross under a mutex of our own, made here, not inside the queued call: then the
    // hand-over is one the race detector can see, as Debian's Qt is not built for it.
    struct Refill {
        std::mutex mutex;
        QList<PendingRecord> records;
        SpoolPosition next;
    };
    const auto refill = std::make_shared<Refill>();
    m_spool.readFrom(*m_spoolOnly, kRefillBytes,
                     [guard = QPointer<RecordStore>(this), refill](QList<PendingRecord> records,
                                                                   SpoolPosition next) {
                         {
                             const std::lock_guard lock(refill->mutex);
                             refill->records = std::move(records);
                             refill->next = next;
                         }
                         if (QCoreApplication* app = QCoreApplication::instance())
                             QMetaObject::invokeMethod(
                                 app,
                                 [guard, refill] {
                                     QList<PendingRecord> taken;
                                     SpoolPosition at;
                                     {
                                         const std::lock_guard lock(refill->mutex);
                                         taken = std::move(refill->records);
                                         at = refill->next;
                                     }
                                     if (guard)
                                         guard->takeRefill(taken, at);
                                 },
                                 Qt::QueuedConnection);
                     });
}

void RecordStore::takeRefill(const QList<PendingRecord>& records, SpoolPosition next) {
    m_refilling = false;
    if (m_finished || !m_spoolOnly)
        return;
    for (const PendingRecord& record : records) {
        // Only what went to the spool alone: copies of older records (a flush that failed)
        // were spooled among them, and must not be written again.
        if (record.seq < m_spoolOnlyFirstSeq || record.place.known())
            continue;
        m_worker.push(record);
        m_spoolOnlyFirstSeq = record.seq + 1;
        if (!isCsvRow(record))
            m_spoolOnlyCount = std::max<qsizetype>(0, m_spoolOnlyCount - 1);
    }
    if (next >= m_spool.nextAppendAt())
        m_spoolOnly.reset();
    else
        m_spoolOnly = next;
    watch();
}

void RecordStore::lose(const PendingRecord& record) {
    if (m_lostUntold == 0)
        m_firstLostMs = record.stampMs;
    m_lastLostMs = record.stampMs;
    ++m_lostUntold;
    ++m_lost;
    showWord();
}

void RecordStore::tellLoss(bool operatorPresent) {
    // Once a loss has ended: how many, and between which times.
    if (m_lostUntold == 0)
        return;
    const qsizetype count = std::exchange(m_lostUntold, 0);
    tell(QStringLiteral("%1 records lost between %2 and %3: neither the data folder nor the "
                        "local disk could take them.")
             .arg(count)
             .arg(timeOf(m_firstLostMs), timeOf(m_lastLostMs)),
         operatorPresent);
}

void RecordStore::tellFlushRecovered(const FlushNotice& notice, bool operatorPresent) {
    if (notice.records == 0)
        return;
    // A spreadsheet copy's lines are rows, and its data file is the record of what was sent.
    const bool copy = isCsvPath(notice.path);
    tell(QStringLiteral("%1 may lack %6 of between %2 and %3 on its medium: flushing it "
                        "failed (%4). Its %5 %6 of that time were written once and are not "
                        "written again%7.")
             .arg(QDir::toNativeSeparators(decodePath(notice.path)), timeOf(notice.firstMs),
                  timeOf(notice.lastMs))
             .arg(notice.error)
             .arg(notice.records)
             .arg(copy ? QStringLiteral("rows") : QStringLiteral("records"),
                  copy ? QString() : QStringLiteral(", as a second copy would falsify the file")),
         operatorPresent);
}

void RecordStore::showWord() {
    QStringList words;
    const Leftovers::State leftovers = m_leftovers.state();
    if (m_notAnswering)
        words << QStringLiteral("Data folder not answering: %1 records waiting").arg(waiting());
    else if (leftovers.writing > 0)
        words << QStringLiteral("Writing %1 records kept from an earlier run")
                         .arg(leftovers.writing) +
                     redirectedWord(leftovers.redirectedTo);
    else if (leftovers.written > 0 && leftovers.waiting == 0)
        words << QStringLiteral("%1 records kept from an earlier run written")
                         .arg(leftovers.written) +
                     redirectedWord(leftovers.redirectedTo);
    if (leftovers.waiting > 0)
        words << QStringLiteral("%1 records from an earlier run wait for %2")
                     .arg(leftovers.waiting)
                     .arg(QDir::toNativeSeparators(decodePath(leftovers.waitingFor)));
    if (!leftovers.keptAside.isEmpty())
        words << QStringLiteral("A damaged spool is kept as %1").arg(leftovers.keptAside.first());
    if (m_lost > 0)
        words << QStringLiteral("%1 records lost").arg(m_lost);
    const QString word = words.join(QStringLiteral("; "));
    if (word == m_word)
        return;
    m_word = word;
    m_view.showStorageState(word);
}

void RecordStore::tell(const QString& text, bool operatorPresent) {
    // Nobody is there to close a box at a logout or shutdown.
    if (operatorPresent)
        showBox(text);
    else
        std::fprintf(stderr, "tessaline: %s\n", qPrintable(text));
}

void RecordStore::showBox(const QString& text) {
    m_inBox = true;
    m_messages.showMessage(text);
    m_inBox = false;
    if (std::exchange(m_progressDue, false))
        QMetaObject::invokeMethod(this, &RecordStore::takeProgress, Qt::QueuedConnection);
}

void RecordStore::beepAtMostOnceASecond() {
    if (m_lastBeep.isValid() && m_lastBeep.elapsed() < kBeepIntervalMs)
        return;
    m_lastBeep.start();
    m_messages.beep();
}

void RecordStore::finish(bool operatorPresent) {
    m_watch.stop();
    m_finished = true; // a read of the spool still under way brings nothing back into memory
    tellLoss(operatorPresent);
    m_leftovers.finish(kLeftoversEndWait);
    m_worker.orderChanged(); // the look for earlier runs may have let go of every file
    QList<PendingRecord> left;
    const bool done = m_worker.finish(milliseconds(kEndDeadlineMs), left);
    StorageProgress last = m_worker.takeProgress();
    quint64 confirmed = m_worker.confirmedThrough();
    if (m_spoolOnly)
        confirmed = std::min(confirmed, m_spoolOnlyFirstSeq - 1);
    m_spool.dropThrough(confirmed);
    QList<PendingRecord> keep = std::move(last.flushFailed);
    // Each kind counted apart: those whose flush failed at the end are counted with their
    // file's; records that waited for an earlier run's are not yet written.
    const qsizetype flushFailed = m_worker.flushFailing();
    qsizetype unwritten = m_spoolOnlyCount;
    qsizetype rows = 0; // of the spreadsheet copy, whose records are in their files
    quint64 lastRecord = 0;
    for (PendingRecord& record : left) {
        if (!record.write)
            continue;
        if (!isCsvRow(record)) {
            ++unwritten;
            lastRecord = record.seq;
        } else if (lastRecord + 1 != record.seq) {
            ++rows;
        }
        if (!record.spooled)
            keep.append(std::move(record));
    }
    const Leftovers::State leftovers = m_leftovers.state();
    const qsizetype earlier = leftovers.writing + leftovers.waiting;
    const bool nothingKept =
        keep.isEmpty() && m_spool.empty() && earlier == 0 && leftovers.uncounted == 0;
    const bool kept = m_spool.finish(keep, milliseconds(kEndDeadlineMs));
    for (const FlushNotice& notice : std::as_const(last.recovered))
        tellFlushRecovered(notice, operatorPresent);
    for (const FlushNotice& notice : m_leftovers.takeFlushNotices())
        tellFlushRecovered(notice, operatorPresent);
    if (nothingKept)
        return;
    const QString folder = QDir::toNativeSeparators(m_spool.folder());
    if (!kept) {
        tell(QStringLiteral("The data folder %1, nor did the local disk answer in time: "
                            "%2 records may be lost; what could be kept is in %3.")
                 .arg(m_failing ? QStringLiteral("could not be written")
                                : QStringLiteral("did not answer"))
                 .arg(unwritten + flushFailed)
                 .arg(folder),
             operatorPresent);
        return;
    }
    QStringList kinds;
    if (unwritten > 0)
        kinds << QStringLiteral("%1 records not yet written").arg(unwritten);
    if (flushFailed > 0)
        kinds << QStringLiteral("%1 records whose flush failed").arg(flushFailed);
    if (rows > 0)
        kinds << QStringLiteral("%1 rows of the spreadsheet copy not yet written").arg(rows);
    if (earlier > 0)
        kinds << QStringLiteral("%1 records from an earlier run").arg(earlier);
    if (leftovers.uncounted > 0)
        kinds << QStringLiteral("the records of %1 earlier runs not yet read")
                     .arg(leftovers.uncounted);
    if (kinds.isEmpty())
        return;
    QString counted = kinds.takeLast();
    if (!kinds.isEmpty())
        counted = kinds.join(QStringLiteral(", ")) + QStringLiteral(" and ") + counted;
    if (!done)
        tell(QStringLiteral("The data folder %1: %2 are kept in %3 and are written to their files "
                            "at the next START.")
                 .arg(m_failing ? QStringLiteral("could not be written")
                                : QStringLiteral("did not answer"),
                      counted, folder),
             operatorPresent);
    else
        tell(QStringLiteral("%1 are kept in %2; the next START writes those their files lack.")
                 .arg(counted, folder),
             operatorPresent);
}
