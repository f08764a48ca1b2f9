#pragma once

#include "acquisition/clock.h"
#include "acquisition/spool.h"
#include "acquisition/storage_worker.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

class LoopView;
class MessageSink;

/// Takes each record at its line end and sees it into its data file without ever waiting for
/// the disk: the file and its header are chosen at once, the writing is done by the storage
/// thread. While the data folder fails, the operator gets File_open's box once per burst and
/// then a count in lbl_title; while it does not answer for 2 s the waiting records go to the
/// local spool as well; after 5 s panel 1 says so. Records are held in memory up to a bound,
/// then in the spool alone; only when both fail are they lost, and the operator is told.
class RecordStore : public QObject {
    Q_OBJECT
public:
    RecordStore(const Clock& clock, MessageSink& messages, LoopView& view, FileCalls& calls,
                const QString& spoolFolder, QObject* parent = nullptr);
    ~RecordStore() override;

    /// A line has ended: the record goes to the file this moment chooses. `write` false: that
    /// file is only opened and headed (a run's first record). `stampMs`: its arrival.
    void lineEnd(const QByteArray& record, bool write, qint64 stampMs);
    /// START: what ended runs left in their spools is written first, each record to the file
    /// it was meant for.
    void startPressed();
    /// The end: what waits is written within a deadline; what is not, is kept in the spool,
    /// and the operator is told where (a box when `operatorPresent`, else standard error).
    void finish(bool operatorPresent);
    /// Records not in their files yet.
    qsizetype waiting() const;
    /// Every record in its file (perhaps not on the medium yet).
    bool written() const { return m_worker.queued() == 0 && m_spoolOnlyNext < 0; }
    /// Everything written and on the medium.
    bool settled() const { return m_worker.settled() && m_spoolOnlyNext < 0; }
    QString spoolPath() const { return m_spool.path(); }

    static constexpr qsizetype kMemoryBound = qsizetype(64) << 20;
    static constexpr int kSpoolAfterMs = 2000;
    static constexpr int kTellAfterMs = 5000;
    static constexpr int kEndDeadlineMs = 3000;
    static constexpr int kWatchIntervalMs = 500;

private:
    void push(PendingRecord record);
    void takeProgress();
    void watch();
    void startSpooling();
    void refillFromSpool();
    void lose(const PendingRecord& record);
    void tellLoss();
    void showWord();
    void showBox(const QString& text);
    void beepAtMostOnceASecond();

    const Clock& m_clock;
    MessageSink& m_messages;
    LoopView& m_view;
    LocalTimeCache m_localTime;
    Spool m_spool;
    QTimer m_watch;
    quint64 m_nextSeq = 1;

    // The spool: records handed to it (their last seq), its size so far, and while memory is
    // full where the records that are in it alone begin (-1: none are).
    bool m_spooling = false;
    quint64 m_spooledUpTo = 0;
    qint64 m_spoolBytes = 0;
    qint64 m_spoolOnlyNext = -1;

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

    QStringList m_leftoverFiles;
    qsizetype m_leftovers = 0;
    bool m_leftoversWritten = false;
    bool m_notAnswering = false;
    QString m_word;

    StorageWorker m_worker; // last: it goes first, before what its reports reach
};
