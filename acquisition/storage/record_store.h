// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/core/clock.h"
#include "acquisition/storage/leftovers.h"
#include "acquisition/storage/spool.h"
#include "acquisition/storage/spreadsheet_copy.h"
#include "acquisition/storage/storage_worker.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <optional>

class LoopView;
class MessageSink;

/// On the window's thread: takes each record at its line end and sees it into its data file without
/// ever waiting for the disk: the file and its header are chosen at once, the writing is done by
/// the storage thread. While the data folder fails, the operator gets File_open's box once per
/// burst and then a count in lbl_title; while it does not answer for 2 s the waiting records go to
/// the local spool as well, which keeps them until they are on the medium; after 5 s panel 1 says
/// so. Records are held in memory up to a bound, then in the spool alone; only when both fail are
/// they lost, and the operator is told. What earlier runs left in their spools reaches each file
/// before the present's records do (FileOrder), even when their folder fails or hangs: then the
/// present's records for those files wait, in the spool, and its other files go on.
class RecordStore : public QObject {
    Q_OBJECT
public:
    /// `calls` are the data folder's; `spoolCalls` the spool's, on the local disk.
    RecordStore(const Clock& clock, MessageSink& messages, LoopView& view, FileCalls& calls,
                const QString& spoolFolder, FileCalls& spoolCalls = systemFileCalls(),
                QObject* parent = nullptr);
    ~RecordStore() override;

    /// A line has ended, its line end having arrived at `endMs`: the record goes to the file
    /// of that moment. `write` false: that file is only opened and headed (a run's first
    /// record). `stampMs`: when its line began to arrive. A negative `endMs`: not known.
    /// `lineFrom`: where the instrument's line begins in the record, after the stamp; with a
    /// spreadsheet copy on, its numbers are read from there.
    void lineEnd(const QByteArray& record, bool write, qint64 stampMs, qint64 endMs,
                 qsizetype lineFrom = 0);
    /// START: what ended runs left in their spools is written first, each record to the file
    /// it was meant for.
    void startPressed();
    /// The operator's way for records of earlier runs whose folder is gone: into the current
    /// data folder, each into the file named for its own day or hour.
    void writeLeftoversHere();
    /// The end: what waits is written within a deadline; what is not, is kept in the spool,
    /// and the operator is told where (a box when `operatorPresent`, else standard error).
    void finish(bool operatorPresent);
    /// Records not in their files yet, or whose flush failed.
    qsizetype waiting() const;
    /// Every record in its file (perhaps not on the medium yet).
    bool written() const { return m_worker.queued() == 0 && !m_spoolOnly; }
    /// Everything written and on the medium.
    bool settled() const { return m_worker.settled() && !m_spoolOnly; }
    /// The folder where records wait on the local disk.
    QString spoolFolder() const { return m_spool.folder(); }
    Leftovers& leftovers() { return m_leftovers; }

    static constexpr qsizetype kMemoryBound = qsizetype(64) << 20;
    static constexpr int kSpoolAfterMs = 2000;
    static constexpr int kTellAfterMs = 5000;
    static constexpr int kEndDeadlineMs = 3000;
    static constexpr int kWatchIntervalMs = 500;
    // Records that waited no longer than this since their line end need no copy in the spool:
    // the storage thread is keeping up.
    static constexpr int kCaughtUpMs = 500;

private:
    void push(QList<PendingRecord> records); // a record, and its row when there is one
    void takeProgress();
    void watch();
    void startSpooling();
    void refillFromSpool();
    void takeRefill(const QList<PendingRecord>& records, SpoolPosition next);
    void lose(const PendingRecord& record);
    void tellLoss(bool operatorPresent = true);
    void tellFlushRecovered(const FlushNotice& notice, bool operatorPresent = true);
    void showWord();
    void tell(const QString& text, bool operatorPresent);
    void showBox(const QString& text);
    void beepAtMostOnceASecond();

    const Clock& m_clock;
    MessageSink& m_messages;
    LoopView& m_view;
    LocalTimeCache m_localTime;
    FileTarget m_lastTarget;
    FileTarget m_lastCsvTarget;
    QByteArray m_lastCsvOf; // the data file it is beside
    CsvLayout m_lastCsvLayout;
    std::shared_ptr<FileOrder> m_order = std::make_shared<FileOrder>();
    Spool m_spool;
    Leftovers m_leftovers;
    QTimer m_watch;
    quint64 m_nextSeq = 1;

    // The spool: whether new records go there too, what of it is behind the data files, and
    // while memory is full where the records that are in it alone begin.
    bool m_spooling = false;
    quint64 m_droppedThrough = 0;
    std::optional<SpoolPosition> m_spoolOnly;
    quint64 m_spoolOnlyFirstSeq = 0;
    qsizetype m_spoolOnlyCount = 0;
    qsizetype m_spooled = 0;  // records kept in the spool too since spooling began, for the journal
    bool m_refilling = false; // a read of the spool is under way on its thread
    bool m_finished = false;

    bool m_failing = false;
    QElapsedTimer m_failingFor;
    qsizetype m_writtenSinceFailure = 0;
    QElapsedTimer m_lastBeep;
    bool m_inBox = false;
    bool m_progressDue = false;

    qsizetype m_lost = 0;
    qsizetype m_lostUntold = 0;
    qint64 m_firstLostMs = 0;
    qint64 m_lastLostMs = 0;

    bool m_notAnswering = false;
    bool m_leftoversWaiting = false;
    QString m_word;

    StorageWorker m_worker; // last: it goes first, before what its reports reach
};
