#pragma once

#include "acquisition/file_calls.h"
#include "acquisition/storage_worker.h"

#include <QByteArray>
#include <QList>
#include <QLockFile>
#include <QString>
#include <chrono>
#include <memory>

/// The records that wait for a data folder that does not answer, kept on the local disk as
/// well, so a power cut cannot take them; one file per running logger, in the account's state
/// folder, written on a thread of its own and flushed as the data files are. A later START
/// finds what a run left there (`takeLeftovers`).
class Spool {
public:
    using Clock = std::chrono::steady_clock;

    /// `folder`: where spools live ($XDG_STATE_HOME/tessaline by default).
    Spool(const QString& folder, FileCalls& calls = systemFileCalls());
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    /// The account's folder for spools.
    static QString defaultFolder();
    /// This logger's spool file.
    QString path() const { return m_path; }

    /// Appends records, in order, on the spool's thread.
    void append(const QList<PendingRecord>& records);
    /// Empties the spool (after the records that came before this call): they are in their
    /// data files, on the medium.
    void clear();
    /// Since when the spool's thread has been in one file call, or 0 ms.
    std::chrono::milliseconds busyFor() const;
    /// The last append or flush failed (a full disk), and none has succeeded since.
    bool failing() const;
    /// Bytes appended since the last clear, as far as the spool's thread has got.
    qint64 size() const;
    /// Records appended after byte `offset`, up to about `maxBytes`; read on the caller's
    /// thread from the local disk. `next`: where the next read starts.
    QList<PendingRecord> readFrom(qint64 offset, qint64 maxBytes, qint64& next) const;
    /// The end: writes `records` after what was appended and flushes, within `deadline`.
    /// False when the spool's thread did not get there in time; it is then left behind.
    bool finish(const QList<PendingRecord>& records, std::chrono::milliseconds deadline);

    /// Spools left by runs that have ended, oldest record first, each file's in its order.
    /// The files stay until `removeLeftovers`.
    static QList<PendingRecord> takeLeftovers(const QString& folder, QStringList& files);
    static void removeLeftovers(const QStringList& files);

    /// A record as the spool stores it, and back; a torn last frame (a power cut) is ignored.
    static QByteArray frame(const PendingRecord& record);
    static QList<PendingRecord> parse(const QByteArray& data, qsizetype* consumed = nullptr);

private:
    struct Shared;
    static void run(const std::shared_ptr<Shared>& shared);
    void claim();

    QString m_path;
    std::unique_ptr<QLockFile> m_lock; // this logger's claim on its spool
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};
