// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/spool.h"

#include "acquisition/platform/platform_files.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSet>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

using std::chrono::milliseconds;

namespace {

// What a place takes in a places frame, and how many places one frame carries.
constexpr qint64 kPlaceBytes = 16;
constexpr qsizetype kPlacesPerFrame = 4096;

// The runs of this process's spools: its own START never takes one for an earlier run's.
std::mutex& ownRunsMutex() {
    static std::mutex mutex;
    return mutex;
}
QSet<QString>& ownRuns() {
    static QSet<QString> runs;
    return runs;
}

} // namespace

struct Spool::Shared final : PlacementLog {
    Shared(FileCalls& fileCalls, QString runFolder, QString runLock, QByteArray runBase,
           QByteArray encodedFolder)
        : calls(fileCalls), folderName(std::move(runFolder)), lockPath(std::move(runLock)),
          base(std::move(runBase)), folder(std::move(encodedFolder)) {}

    struct Command {
        enum class Kind { Append, Delete, Forget, Read } kind = Kind::Append;
        int segment = 0;    // Append
        QByteArray bytes;   // Append
        QList<int> drop;    // Delete
        quint64 seq = 0;    // Forget: records up to it are on the medium
        bool empty = false; // Forget: and no segment is left
        // Read: from where, how much, in which segments (number, bytes appended), and who hears
        SpoolPosition from{};
        qint64 maxBytes = 0;
        QList<std::pair<int, qint64>> segments;
        ReadDone done;

        static Command append(int segment) {
            Command command;
            command.segment = segment;
            return command;
        }
        static Command remove(QList<int> segments) {
            Command command;
            command.kind = Kind::Delete;
            command.drop = std::move(segments);
            return command;
        }
        static Command forget(quint64 seq, bool empty) {
            Command command;
            command.kind = Kind::Forget;
            command.seq = seq;
            command.empty = empty;
            return command;
        }
    };
    FileCalls& calls;
    const QString folderName;
    const QString lockPath;
    const QByteArray base; // folder/name, as the file system spells it
    const QByteArray folder;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<Command> commands;
    bool ending = false;
    bool keepNothing = false; // at the end: no segment holds a record
    bool ended = false;       // the thread has done all, its files closed and the lock let go
    bool abandoned = false;
    bool working = false; // commands taken, not done yet
    bool unflushed = false;
    std::atomic<bool> failing{false};
    std::atomic<Clock::rep> busySince{0};
    Clock::time_point lastFlushEnd{};
    // The thread's, and the front's once the thread has ended:
    int fd = -1; // the segment being appended to
    int fdSegment = 0;
    std::unique_ptr<QLockFile> lock; // this logger's claim on its spool
    QList<int> unremoved;            // segments whose removal failed: tried again later

    // The marks: the storage thread logs places while this thread forgets them. In memory, the
    // latest place of each record not yet confirmed; in the file, the same and what was logged
    // since, within kMarksRewriteBytes of it.
    struct Mark {
        QByteArray path;
        quint32 fileId = 0;
        qint64 offset = 0;
    };
    std::mutex marksMutex;
    bool owned = false;       // the lock is held: the marks file may be written
    bool lockRefused = false; // the last try at it failed
    int marksFd = -1;
    std::map<quint64, Mark> marks;
    quint64 forgotten = 0;    // records up to it are on the medium
    QByteArray confirmed;     // the latest word on what is on the medium
    qint64 marksBytes = 0;    // the file's length
    qint64 marksFrames = 0;   // what a rewrite holds beyond the places themselves
    bool marksBehind = false; // memory holds places the file may lack

    QByteArray segmentPath(int segment) const {
        return base + '.' + QByteArray::number(segment).rightJustified(6, '0') + ".spool";
    }
    QByteArray marksPath() const { return base + ".marks"; }
    void busy(bool on) {
        busySince = on ? std::max<Clock::rep>(1, Clock::now().time_since_epoch().count()) : 0;
    }
    // A new file's name must reach the medium too, or a power cut loses the file.
    int openNew(const QByteArray& path) {
        int error = 0;
        const int opened = calls.openForAppend(path, error);
        if (opened >= 0)
            syncFolder(calls, folder);
        return opened;
    }
    void closeSegment() {
        if (fd < 0)
            return;
        if (unflushed)
            calls.dataSync(fd);
        calls.closeFile(fd);
        fd = -1;
        fdSegment = 0;
    }

    // Before the first file of the run, so a START of another logger never takes a spool still
    // in use. A full disk refuses the lock too: then nothing is written till it is had.
    bool takeLock() {
        if (lock)
            return true;
        // Records wait here: the account's alone.
        if (!makePrivateFolder(folderName)) {
            const std::lock_guard guard(marksMutex);
            lockRefused = true;
            return false;
        }
        auto file = std::make_unique<QLockFile>(lockPath);
        file->setStaleLockTime(0);
        const bool locked = file->tryLock(0);
        const std::lock_guard guard(marksMutex);
        lockRefused = !locked;
        if (locked)
            lock = std::move(file);
        owned = locked;
        return locked;
    }
    // Every place logged is in the marks file before a segment may hold its record.
    bool ready() {
        if (!takeLock())
            return false;
        const std::lock_guard guard(marksMutex);
        return !marksBehind || rewriteMarks();
    }
    void removeSegments() {
        unremoved.removeIf(
            [this](int segment) { return calls.removeFile(segmentPath(segment)) == 0; });
    }

    // The thread's alone: false when the command must be tried again.
    bool carryOut(const Command& command) {
        // A file a virus scanner held goes once it is let go.
        if (!unremoved.isEmpty() && command.kind != Command::Kind::Delete)
            removeSegments();
        switch (command.kind) {
        case Command::Kind::Append:
            if (!ready())
                return false;
            if (fdSegment != command.segment) {
                closeSegment();
                fd = openNew(segmentPath(command.segment));
                if (fd < 0)
                    return false;
                fdSegment = command.segment;
            }
            if (calls.appendWhole(fd, command.bytes) != 0)
                return false;
            unflushed = true;
            return true;
        case Command::Kind::Delete:
            for (const int segment : command.drop) {
                if (segment == fdSegment) {
                    calls.closeFile(fd);
                    fd = -1;
                    fdSegment = 0;
                    unflushed = false;
                }
                unremoved.append(segment);
            }
            removeSegments();
            return true;
        case Command::Kind::Forget:
            forgetMarks(command.seq, command.empty);
            return true;
        case Command::Kind::Read:
            read(command);
            return true;
        }
        return true;
    }

    // Everything appended before the read was asked for is in its segment by now.
    void read(const Command& command) {
        QList<PendingRecord> records;
        SpoolPosition next = command.from;
        qint64 maxBytes = command.maxBytes;
        for (const auto& [number, bytes] : command.segments) {
            if (number < next.segment)
                continue;
            if (number > next.segment)
                next = {number, 0};
            QByteArray piece;
            if (calls.readAt(segmentPath(number), next.offset,
                             static_cast<qsizetype>(std::min(maxBytes, bytes - next.offset)),
                             piece) != 0)
                break;
            SpoolReader reader;
            reader.restartAt(next.offset);
            // Only what was appended in whole frames is read.
            for (const SpoolReader::Frame& frame : reader.read(piece, false))
                if (frame.kind == SpoolReader::Frame::Kind::Record)
                    records.append(frame.record);
            maxBytes -= reader.consumed() - next.offset;
            next.offset = reader.consumed();
            if (next.offset < bytes || maxBytes <= 0)
                break;
        }
        command.done(std::move(records), next);
    }

    // The thread's last work, unless the end gave it up: what is left is closed, and when no
    // record is kept the run's files go, but marks that say a segment that could not be removed
    // is written.
    void wrapUp() {
        if (fd >= 0)
            calls.closeFile(fd);
        fd = -1;
        if (!unremoved.isEmpty())
            removeSegments();
        if (keepNothing) {
            const std::lock_guard guard(marksMutex);
            if (unremoved.isEmpty())
                removeMarks();
            else if (marksFd >= 0)
                calls.dataSync(marksFd);
        }
        release();
    }

    // Only what is new, or moved, since it was logged is written: a retry of the same records at
    // the same places writes nothing.
    void logPlaces(const QByteArray& path, quint32 fileId, const QList<SeqPlace>& places) override {
        const std::lock_guard guard(marksMutex);
        QList<SeqPlace> fresh;
        for (const SeqPlace& p : places) {
            if (p.seq <= forgotten)
                continue;
            const auto [at, added] = marks.try_emplace(p.seq, Mark{path, fileId, p.offset});
            if (!added) {
                Mark& mark = at->second;
                if (mark.offset == p.offset && mark.fileId == fileId && mark.path == path)
                    continue;
                mark = {path, fileId, p.offset};
            }
            fresh.append(p);
        }
        if (fresh.isEmpty() && !marksBehind)
            return;
        if (!owned) {
            // No segment is written before these are in the file (ready()), so a crash finds no
            // record of them without its place. Failing only once the lock was refused: the
            // spool's thread may simply not have got to it yet.
            marksBehind = true;
            if (lockRefused)
                failing = true;
            return;
        }
        // The write of the records waits for this: a crash after it must find their places.
        bool written = false;
        if (marksBehind) {
            written = rewriteMarks();
        } else {
            const QByteArray frame = SpoolFormat::placesFrame(path, fileId, fresh);
            written = (overBound(frame.size()) && rewriteMarks()) || appendMarks(frame, true);
        }
        if (!written) {
            marksBehind = true;
            failing = true;
        }
    }

    // Records up to `seq` are on the medium; their places are no longer needed, but their
    // frames may still be in a segment, so the marks say they are done.
    void forgetMarks(quint64 seq, bool spoolEmpty) {
        const std::lock_guard guard(marksMutex);
        forgotten = std::max(forgotten, seq);
        marks.erase(marks.begin(), marks.upper_bound(forgotten));
        // A segment that could not be removed keeps the marks that say its records are done.
        if (spoolEmpty && marks.empty() && unremoved.isEmpty()) {
            removeMarks();
            return;
        }
        confirmed = SpoolFormat::confirmedFrame(forgotten);
        if (!owned)
            return;
        // Should the rewrite fail, the old marks stand and take the confirmation as before.
        if ((marksBehind || overBound(confirmed.size())) && rewriteMarks())
            return;
        appendMarks(confirmed, !unremoved.isEmpty());
    }

    // With marksMutex held, as are the rest.
    bool overBound(qint64 adding) const {
        return marksBytes + adding >
               kMarksRewriteBytes + marksFrames + kPlaceBytes * static_cast<qint64>(marks.size());
    }
    bool appendMarks(const QByteArray& frame, bool durable) {
        if (marksFd < 0)
            marksFd = openNew(marksPath());
        if (marksFd < 0 || calls.appendWhole(marksFd, frame) != 0)
            return false;
        marksBytes += frame.size();
        return !durable || calls.dataSync(marksFd) == 0;
    }
    void removeMarks() {
        confirmed.clear();
        if (marksFd >= 0)
            calls.closeFile(marksFd);
        marksFd = -1;
        marksBytes = 0;
        marksFrames = 0;
        // Marks that stay would be read as this run's next ones: they are written anew then.
        marksBehind = owned && calls.removeFile(marksPath()) != 0;
    }
    bool rewriteMarks() {
        QByteArray bytes = confirmed;
        std::map<std::pair<QByteArray, quint32>, QList<SeqPlace>> byFile;
        for (const auto& [seq, mark] : marks) {
            QList<SeqPlace>& places = byFile[{mark.path, mark.fileId}];
            places.append({seq, mark.offset});
            if (places.size() == kPlacesPerFrame) {
                bytes += SpoolFormat::placesFrame(mark.path, mark.fileId, places);
                places.clear();
            }
        }
        for (const auto& [file, places] : byFile)
            if (!places.isEmpty())
                bytes += SpoolFormat::placesFrame(file.first, file.second, places);
        const QByteArray fresh = marksPath() + ".new";
        calls.removeFile(fresh);
        int error = 0;
        const int out = calls.openForAppend(fresh, error);
        if (out < 0)
            return false;
        const bool written = calls.appendWhole(out, bytes) == 0 && calls.dataSync(out) == 0;
        calls.closeFile(out);
        // The old marks stay until the new ones are whole on the medium. They are closed before
        // they are replaced: Windows replaces no file that is open.
        if (!written) {
            calls.removeFile(fresh);
            return false;
        }
        if (marksFd >= 0)
            calls.closeFile(marksFd);
        const bool replaced = replaceFile(fresh, marksPath()) == 0;
        const bool durable = replaced && syncFolder(calls, folder) == 0;
        if (!replaced)
            calls.removeFile(fresh);
        marksFd = calls.openForAppend(marksPath(), error);
        if (!replaced)
            return false;
        marksBytes = bytes.size();
        marksFrames = bytes.size() - kPlaceBytes * static_cast<qint64>(marks.size());
        marksBehind = !durable;
        return durable;
    }
    // The front's, once the thread has ended: others may take what is left.
    void release() {
        const std::lock_guard guard(marksMutex);
        owned = false;
        if (marksFd >= 0)
            calls.closeFile(marksFd);
        marksFd = -1;
        lock.reset();
    }
};

Spool::Spool(const QString& folder, FileCalls& calls) : m_folder(folder) {
    // Named for what it holds, so whoever finds it knows; the time orders earlier runs'. A
    // second spool of the process (tests build several) gets a number of its own.
    static std::atomic<int> spools{0};
    const int number = ++spools;
    m_name = QStringLiteral("unwritten-records-%1-%2")
                 .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss")))
                 .arg(QCoreApplication::applicationPid());
    if (number > 1)
        m_name += QStringLiteral("-%1").arg(number);
    m_shared = std::make_shared<Shared>(
        calls, folder, QDir(folder).filePath(m_name + QStringLiteral(".lock")),
        encodePath(QDir(folder).filePath(m_name)), encodePath(folder));
    {
        const std::lock_guard lock(ownRunsMutex());
        ownRuns().insert(m_name);
    }
    m_thread = std::thread(&Spool::run, m_shared);
}

Spool::~Spool() {
    // The thread lets go of the lock as it ends; one left in a call keeps it.
    if (m_thread.joinable())
        finish({}, milliseconds(2000));
    const std::lock_guard lock(ownRunsMutex());
    ownRuns().remove(m_name);
}

bool Spool::isOwnRun(const QString& name) {
    const std::lock_guard lock(ownRunsMutex());
    return ownRuns().contains(name);
}

// On the thread that replays a run, never the window's.
SpoolMarks Spool::readMarks(const QString& marksPath) {
    SpoolMarksReader reader;
    QFile file(marksPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (bool atEnd = false; !atEnd;) {
        const QByteArray piece = file.read(kMarksPieceBytes);
        atEnd = piece.isEmpty() || file.atEnd();
        reader.read(piece, atEnd);
    }
    return reader.take();
}

QString Spool::defaultFolder() {
    return spoolHome();
}

QString Spool::segmentName(const QString& name, int segment) {
    return QStringLiteral("%1.%2.spool").arg(name).arg(segment, 6, 10, QLatin1Char('0'));
}

std::shared_ptr<PlacementLog> Spool::placementLog() const {
    return m_shared;
}

void Spool::appendRecords(const QList<PendingRecord>& records) {
    if (records.isEmpty())
        return;
    m_appended = true;
    std::deque<Shared::Command> commands;
    for (const PendingRecord& record : records) {
        const QByteArray frame = SpoolFormat::recordFrame(record);
        if (m_segments.isEmpty() || m_segments.last().bytes >= kSegmentBytes)
            m_segments.append({m_nextSegment++, 0, 0});
        Segment& segment = m_segments.last();
        segment.maxSeq = std::max(segment.maxSeq, record.seq);
        segment.bytes += frame.size();
        if (commands.empty() || commands.back().segment != segment.number)
            commands.push_back(Shared::Command::append(segment.number));
        commands.back().bytes += frame;
    }
    const std::lock_guard lock(m_shared->mutex);
    for (Shared::Command& command : commands)
        m_shared->commands.push_back(std::move(command));
    m_shared->wake.notify_one();
}

void Spool::dropThrough(quint64 seq) {
    if (!m_appended)
        return; // nothing was ever spooled
    QList<int> drop;
    m_segments.removeIf([&](const Segment& segment) {
        if (segment.maxSeq > seq)
            return false;
        drop.append(segment.number);
        return true;
    });
    const std::lock_guard lock(m_shared->mutex);
    if (!drop.isEmpty())
        m_shared->commands.push_back(Shared::Command::remove(drop));
    m_shared->commands.push_back(Shared::Command::forget(seq, m_segments.isEmpty()));
    m_shared->wake.notify_one();
}

SpoolPosition Spool::nextAppendAt() const {
    if (m_segments.isEmpty() || m_segments.last().bytes >= kSegmentBytes)
        return {m_nextSegment, 0};
    return {m_segments.last().number, m_segments.last().bytes};
}

void Spool::readFrom(SpoolPosition from, qint64 maxBytes, ReadDone done) {
    Shared::Command command;
    command.kind = Shared::Command::Kind::Read;
    command.from = from;
    command.maxBytes = maxBytes;
    command.done = std::move(done);
    for (const Segment& segment : std::as_const(m_segments))
        if (segment.number >= from.segment)
            command.segments.append({segment.number, segment.bytes});
    const std::lock_guard lock(m_shared->mutex);
    m_shared->commands.push_back(std::move(command));
    m_shared->wake.notify_one();
}

milliseconds Spool::busyFor() const {
    const Clock::rep since = m_shared->busySince;
    if (since == 0)
        return milliseconds(0);
    return std::chrono::duration_cast<milliseconds>(Clock::now() -
                                                    Clock::time_point(Clock::duration(since)));
}

bool Spool::failing() const {
    return m_shared->failing;
}

bool Spool::finish(const QList<PendingRecord>& records, milliseconds deadline) {
    appendRecords(records);
    Shared& s = *m_shared;
    std::unique_lock lock(s.mutex);
    s.ending = true;
    s.keepNothing = m_segments.isEmpty();
    s.wake.notify_all();
    const bool done = s.idle.wait_for(lock, deadline, [&s] { return s.ended; });
    s.abandoned = !done;
    s.wake.notify_all();
    lock.unlock();
    if (!done) {
        // A local disk that stopped answering, or a lock never had: the thread keeps its state.
        m_thread.detach();
        m_leftBehind = true;
        return false;
    }
    m_thread.join();
    return !s.failing;
}

void Spool::run(const std::shared_ptr<Shared>& shared) {
    Shared& s = *shared;
    std::unique_lock lock(s.mutex);
    while (!s.abandoned) {
        if (!s.commands.empty() && !s.working) {
            std::deque<Shared::Command> commands;
            commands.swap(s.commands);
            s.working = true;
            lock.unlock();
            s.busy(true);
            while (!commands.empty() && s.carryOut(commands.front()))
                commands.pop_front();
            s.busy(false);
            lock.lock();
            s.working = false;
            // Failing until what failed has been done; a failed flush is not forgotten here.
            if (!commands.empty())
                s.failing = true;
            else if (!s.unflushed)
                s.failing = false;
            // What could not be written is tried again first, a second later.
            s.commands.insert(s.commands.begin(), commands.begin(), commands.end());
            s.idle.notify_all();
            if (s.failing)
                s.wake.wait_for(lock, milliseconds(1000));
            continue;
        }
        const Clock::time_point flushAt = s.lastFlushEnd + milliseconds(1000);
        if (s.unflushed && (Clock::now() >= flushAt || (s.ending && !s.failing))) {
            s.unflushed = false;
            s.working = true;
            lock.unlock();
            s.busy(true);
            const bool flushed = s.fd < 0 || s.calls.dataSync(s.fd) == 0;
            s.busy(false);
            lock.lock();
            s.working = false;
            s.failing = !flushed;
            s.unflushed = s.unflushed || !flushed; // tried again a second later
            s.lastFlushEnd = Clock::now();
            s.idle.notify_all();
            continue;
        }
        if (s.ending && s.commands.empty() && !s.unflushed)
            break;
        if (s.unflushed)
            s.wake.wait_until(lock, flushAt);
        else
            s.wake.wait(lock);
    }
    if (!s.abandoned) {
        lock.unlock();
        s.busy(true);
        s.wrapUp();
        s.busy(false);
        lock.lock();
        s.ended = true;
    }
    s.idle.notify_all();
}
