#include "acquisition/record_store.h"

#include "acquisition/loop_view.h"
#include "acquisition/message_sink.h"

#include <QDateTime>
#include <cstdio>

using std::chrono::milliseconds;

namespace {
constexpr qint64 kBeepIntervalMs = 1000;
constexpr qint64 kRefillBytes = qint64(8) << 20;

QString timeOf(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy/MM/dd hh:mm:ss"));
}
} // namespace

RecordStore::RecordStore(const Clock& clock, MessageSink& messages, LoopView& view,
                         FileCalls& calls, const QString& spoolFolder, QObject* parent)
    : QObject(parent), m_clock(clock), m_messages(messages), m_view(view),
      m_spool(spoolFolder), // on the local disk, whatever the data folder is on
      m_worker(calls, [this] {
          QMetaObject::invokeMethod(this, &RecordStore::takeProgress, Qt::QueuedConnection);
      }) {
    m_watch.setInterval(kWatchIntervalMs);
    connect(&m_watch, &QTimer::timeout, this, &RecordStore::watch);
}

RecordStore::~RecordStore() = default;

void RecordStore::lineEnd(const QByteArray& record, bool write, qint64 stampMs) {
    push({m_nextSeq++, fileTargetAt(m_localTime, m_clock.nowMs()), record, write, stampMs, false});
    if (!m_watch.isActive())
        m_watch.start();
}

void RecordStore::push(PendingRecord record) {
    const bool memoryFull =
        m_spoolOnlyNext >= 0 || m_worker.queuedBytes() + record.bytes() > kMemoryBound;
    if (!memoryFull) {
        tellLoss();
        if (m_spooling) {
            m_spool.append({record});
            m_spoolBytes += Spool::frame(record).size();
            m_spooledUpTo = record.seq;
        }
        m_worker.push(std::move(record));
        return;
    }
    // Memory is full: the spool alone holds the record, if it can take it now.
    if (!m_spooling)
        startSpooling();
    const bool spoolTakes = !m_spool.failing() && m_spool.busyFor() < milliseconds(kSpoolAfterMs);
    if (!spoolTakes) {
        lose(record);
        return;
    }
    tellLoss();
    if (m_spoolOnlyNext < 0)
        m_spoolOnlyNext = m_spoolBytes;
    m_spool.append({record});
    m_spoolBytes += Spool::frame(record).size();
    m_spooledUpTo = record.seq;
}

qsizetype RecordStore::waiting() const {
    qsizetype count = 0;
    for (const PendingRecord& record : m_worker.queuedRecords())
        count += record.write ? 1 : 0;
    return count;
}

void RecordStore::startPressed() {
    if (m_leftovers > 0 && !m_leftoversWritten)
        return; // still writing those found at an earlier START
    QStringList files;
    const QList<PendingRecord> records =
        Spool::takeLeftovers(m_spool.path().section(u'/', 0, -2), files);
    if (records.isEmpty())
        Spool::removeLeftovers(files); // spools with nothing whole in them
    m_leftoverFiles = records.isEmpty() ? QStringList() : files;
    m_leftovers = records.size();
    m_leftoversWritten = false;
    for (PendingRecord record : records) {
        record.seq = m_nextSeq++;
        push(std::move(record));
    }
    if (m_leftovers > 0 && !m_watch.isActive())
        m_watch.start();
    showWord();
}

void RecordStore::takeProgress() {
    // A box of ours is up: its event loop brought us here; we look when it is dismissed.
    if (m_inBox) {
        m_progressDue = true;
        return;
    }
    const StorageProgress progress = m_worker.takeProgress();
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
    watch();
}

void RecordStore::watch() {
    const milliseconds busy = m_worker.busyFor();
    const bool hung = busy >= milliseconds(kSpoolAfterMs) ||
                      (m_failing && m_failingFor.elapsed() >= kSpoolAfterMs);
    if (!m_spooling && hung && m_worker.queued() > 0)
        startSpooling();
    m_notAnswering = busy >= milliseconds(kTellAfterMs) || (m_notAnswering && !m_worker.settled());
    if (m_spoolOnlyNext >= 0 && !hung && !m_failing && m_worker.queuedBytes() < kMemoryBound / 2)
        refillFromSpool();
    if (m_worker.settled() && m_spoolOnlyNext < 0) {
        // Everything is in its data file, on the medium: the copies can go.
        if (m_spooling) {
            m_spool.clear();
            m_spoolBytes = 0;
            m_spooling = false;
        }
        if (m_leftovers > 0 && !m_leftoversWritten) {
            Spool::removeLeftovers(m_leftoverFiles);
            m_leftoverFiles.clear();
            m_leftoversWritten = true;
        }
        m_notAnswering = false;
        m_watch.stop();
    }
    showWord();
}

void RecordStore::startSpooling() {
    m_spooling = true;
    QList<PendingRecord> copies;
    for (const PendingRecord& record : m_worker.queuedRecords()) {
        if (record.seq <= m_spooledUpTo)
            continue;
        copies.append(record);
        m_spoolBytes += Spool::frame(record).size();
        m_spooledUpTo = record.seq;
    }
    m_spool.append(copies);
}

void RecordStore::refillFromSpool() {
    // What the spool alone holds goes back to memory in order, from the local disk.
    qint64 next = m_spoolOnlyNext;
    for (PendingRecord& record : m_spool.readFrom(m_spoolOnlyNext, kRefillBytes, next))
        m_worker.push(std::move(record));
    m_spoolOnlyNext = next >= m_spoolBytes ? -1 : next;
}

void RecordStore::lose(const PendingRecord& record) {
    if (m_lostUntold == 0)
        m_firstLostMs = record.stampMs;
    m_lastLostMs = record.stampMs;
    ++m_lostUntold;
    ++m_lost;
    showWord();
}

void RecordStore::tellLoss() {
    // Once a loss has ended: how many, and between which times.
    if (m_lostUntold == 0)
        return;
    const qsizetype count = std::exchange(m_lostUntold, 0);
    showBox(QStringLiteral("%1 records lost between %2 and %3: neither the data folder nor the "
                           "local disk could take them.")
                .arg(count)
                .arg(timeOf(m_firstLostMs), timeOf(m_lastLostMs)));
}

void RecordStore::showWord() {
    QStringList words;
    const qsizetype waitingNow = m_notAnswering || m_leftovers > 0 ? waiting() : 0;
    if (m_notAnswering)
        words << QStringLiteral("Data folder not answering: %1 records waiting").arg(waitingNow);
    else if (m_leftovers > 0 && !m_leftoversWritten)
        words << QStringLiteral("Writing %1 records kept from an earlier run").arg(m_leftovers);
    else if (m_leftovers > 0)
        words << QStringLiteral("%1 records kept from an earlier run written").arg(m_leftovers);
    if (m_lost > 0)
        words << QStringLiteral("%1 records lost").arg(m_lost);
    const QString word = words.join(QStringLiteral("; "));
    if (word == m_word)
        return;
    m_word = word;
    m_view.showStorageState(word);
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
    tellLoss();
    QList<PendingRecord> left;
    qsizetype inDoubt = 0;
    const bool written = m_worker.finish(milliseconds(kEndDeadlineMs), left, inDoubt);
    for (qsizetype i = 0; i < inDoubt; ++i)
        left[i].inDoubt = true;
    if (m_spoolOnlyNext >= 0) {
        qint64 next = m_spoolOnlyNext;
        left += m_spool.readFrom(m_spoolOnlyNext, m_spoolBytes, next);
    }
    if (written && m_spoolOnlyNext < 0) {
        if (m_spooling)
            m_spool.clear();
        m_spool.finish({}, milliseconds(kEndDeadlineMs));
        Spool::removeLeftovers(m_leftoverFiles);
        return;
    }
    // The spool is written anew with what is left, the records that may have landed marked.
    m_spool.clear();
    const bool kept = m_spool.finish(left, milliseconds(kEndDeadlineMs));
    if (kept)
        Spool::removeLeftovers(m_leftoverFiles);
    qsizetype records = 0;
    for (const PendingRecord& record : left)
        records += record.write ? 1 : 0;
    const QString text =
        kept ? QStringLiteral("The data folder did not answer: %1 records are kept in %2 and "
                              "are written to their files at the next START.")
                   .arg(records)
                   .arg(m_spool.path())
             : QStringLiteral("The data folder did not answer, nor did the local disk in time: "
                              "%1 records may be lost; what could be kept is in %2.")
                   .arg(records)
                   .arg(m_spool.path());
    if (operatorPresent)
        m_messages.showMessage(text);
    else
        std::fprintf(stderr, "tessaline: %s\n", qPrintable(text));
}
