// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/platform/file_calls.h"
#include "acquisition/storage/pending_record.h"
#include "acquisition/storage/spool_format.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

/// On the window's thread, writing on a thread of its own: the records of this run that wait for a
/// data folder that does not answer, kept on the local disk as well, so that neither a crash nor a
/// power cut takes them: segment files of record frames in the account's state folder, appended,
/// flushed, read back and removed on a thread of their own, and a marks file with the places where
/// spooled records were about to be written. The caller's thread never makes a file call: the
/// state folder may be on a share that hangs too. Segments go once every record in them is on the
/// medium, so the spool stays about as large as what its data files still lack. A later START of
/// any logger of the account (Leftovers) writes what a run left here.
///
/// A spool is owned, or it is not used: its thread takes the run's lock before it creates any
/// file, and until it has it (a full disk) the spool is failing, writes nothing and keeps what it
/// was given, in order, trying again a second later.
class Spool {
public:
    using Clock = std::chrono::steady_clock;

    /// `folder`: where spools live (spoolHome() by default: platform_files.h).
    Spool(const QString& folder, FileCalls& calls = systemFileCalls());
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    /// The account's folder for spools.
    static QString defaultFolder();
    QString folder() const { return m_folder; }
    /// This run's files are `name`.lock, `name`.NNNNNN.spool and `name`.marks in the folder.
    QString name() const { return m_name; }
    static QString segmentName(const QString& name, int segment);

    /// Appends records, in order, on the spool's thread.
    void appendRecords(const QList<PendingRecord>& records);
    /// Every record up to `seq` is on the medium: the segments that hold none other go, and so
    /// do the marks for them. A segment that cannot be removed (a virus scanner holds it) is
    /// tried again at later commands; the marks stay while it does, saying its records are
    /// written.
    void dropThrough(quint64 seq);
    /// No segment holds a record.
    bool empty() const { return m_segments.isEmpty(); }
    /// Where the next append goes.
    SpoolPosition nextAppendAt() const;
    /// What a read brings back: records in the order they were appended, and where the next
    /// read starts.
    using ReadDone = std::function<void(QList<PendingRecord> records, SpoolPosition next)>;
    /// Reads the records appended from `from` on, up to about `maxBytes`, on the spool's thread
    /// once it has written all appended before this call; `done` is called there with them (it
    /// must only post). A read that fails brings back what came before the failure.
    void readFrom(SpoolPosition from, qint64 maxBytes, ReadDone done);
    /// Since when the spool's thread has been in one file call, or 0 ms.
    std::chrono::milliseconds busyFor() const;
    /// The last append or flush failed (a full disk), or the run's lock could not be taken,
    /// and none has succeeded since.
    bool failing() const;
    /// The end: appends `records`, flushes, within `deadline`; the spool's thread removes the
    /// run's files when no record is left in them, and lets go of the lock. False when it did
    /// not get there in time (it is then left behind, keeping the lock till the process ends)
    /// or failed.
    bool finish(const QList<PendingRecord>& records, std::chrono::milliseconds deadline);

    /// Where the storage thread logs the places of spooled records, durably, before it writes
    /// them. It outlives the spool, as a storage thread left in a call may still log.
    std::shared_ptr<PlacementLog> placementLog() const;

    /// Whether `name` is the run of a spool of this process that still exists: never another's
    /// leftovers, whatever its lock says.
    static bool isOwnRun(const QString& name);
    /// What a run's marks file says, read kMarksPieceBytes at a time: the places of confirmed
    /// records are dropped as it goes, so memory follows the records not yet confirmed, not the
    /// file's size. A missing file says nothing.
    static SpoolMarks readMarks(const QString& marksPath);

    // A segment is closed, and the next begun, past this size.
    static constexpr qint64 kSegmentBytes = qint64(8) << 20;
    // The marks are written anew from what is still needed once they outgrow that by this much.
    static constexpr qint64 kMarksRewriteBytes = qint64(64) * 1024;
    static constexpr qint64 kMarksPieceBytes = qint64(1) << 20;

private:
    struct Shared;
    struct Segment {
        int number;
        quint64 maxSeq;
        qint64 bytes;
    };
    static void run(const std::shared_ptr<Shared>& shared);

    QString m_folder;
    QString m_name;
    QList<Segment> m_segments; // the front's: what holds records, oldest first
    int m_nextSegment = 1;
    bool m_appended = false;   // anything was ever handed to the thread
    bool m_leftBehind = false; // finish gave the thread up in a call
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};
