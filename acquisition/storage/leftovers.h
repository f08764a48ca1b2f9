// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/platform/file_calls.h"
#include "acquisition/storage/file_order.h"
#include "acquisition/storage/pending_record.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>

/// What runs that have ended left in their spools (END while the folder hung, a crash, a power
/// cut), written to the files they were meant for on a thread of their own, oldest run first,
/// read in bounded pieces. Records whose write may have landed are judged by their places. A
/// run is replayed by one logger only: its lock is held until its files are gone. Each run holds
/// the data files it has records for in the FileOrder until they are all written, so no newer
/// record lands in them first. A run whose folder fails or hangs is set aside, so the present
/// goes on with its other files, and is tried again once a minute (sooner while the present
/// waits for it), or written into another folder when the operator says so; nothing is deleted
/// before it is in its file, on the medium. A spool with damaged or foreign frames is kept aside
/// under another name once its intact records are written.
class Leftovers {
public:
    using Clock = std::chrono::steady_clock;

    struct State {
        qsizetype writing = 0;   // records of the runs being written now
        qsizetype written = 0;   // records written since the last adoption
        qsizetype waiting = 0;   // records of runs set aside
        QByteArray waitingFor;   // the folder the first of them waits for
        QStringList keptAside;   // damaged spools, renamed
        QByteArray redirectedTo; // the folder the operator sent them into, where they may
                                 // stand after newer records
        bool replaying = false;  // a thread is writing runs now
        qsizetype uncounted = 0; // runs whose records have not been counted yet
    };

    /// `folder`: where spools live. `wakeFront` is called on the thread that writes, whenever the
    /// state changed; it must only post. `order`: where the runs hold their files.
    Leftovers(const QString& folder, FileCalls& calls, std::function<void()> wakeFront,
              std::shared_ptr<FileOrder> order = std::make_shared<FileOrder>());
    ~Leftovers();
    Leftovers(const Leftovers&) = delete;
    Leftovers& operator=(const Leftovers&) = delete;

    /// START: adopts the spools of runs that have ended and that no other logger holds, and
    /// writes them, after what is being written already.
    void adopt();
    /// Called now and then: sets aside a run whose call has hung kSetAsideAfter, and tries the
    /// runs set aside again when their time comes; `presentWaits`: records of the present wait
    /// for a file a run holds, which is then tried again after kPresentWaitsRetry.
    void check(bool presentWaits = false);
    State state() const;
    /// Files whose flush failed while records of earlier runs were written to them, and has
    /// worked since: they may lack those records on their medium.
    QList<FlushNotice> takeFlushNotices();
    /// The operator's way for runs set aside because their folder is gone for good: their
    /// records go into `folder`, each into the file named for its own day or hour.
    void redirect(const QByteArray& folder);
    /// The end: no batch is begun after this; waits for the one under way at most `deadline`.
    void finish(std::chrono::milliseconds deadline);
    void setRetryInterval(std::chrono::milliseconds interval);

    static constexpr std::chrono::milliseconds kSetAsideAfter{2000};
    static constexpr std::chrono::milliseconds kRetryInterval{60'000};
    static constexpr std::chrono::milliseconds kPresentWaitsRetry{5'000};
    // Bytes read from a spool at a time, and written to a data file in one write at most.
    static constexpr qint64 kPieceBytes = qint64(1) << 20;
    static constexpr qsizetype kBatchRecords = 16384;

private:
    struct Run;
    struct Pass;
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};
