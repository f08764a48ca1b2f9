// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/spool.h"

#include "acquisition/platform/platform_files.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

using std::chrono::milliseconds;

namespace {
// The marks are written anew without what is behind the data files once they grow past this.
constexpr qint64 kMarksRewriteBytes = qint64(64) * 1024;
} // namespace

struct Spool::Shared final : PlacementLog {
    Shared(FileCalls& fileCalls, QByteArray runBase, QByteArray runFolder)
        : calls(fileCalls), base(std::move(runBase)), folder(std::move(runFolder)) {}

    struct Command {
        enum class Kind { Append, Delete, Forget } kind = Kind::Append;
        int segment = 0;    // Append
        QByteArray bytes;   // Append
        QList<int> drop;    // Delete
        quint64 seq = 0;    // Forget: records up to it are on the medium
        bool empty = false; // Forget: and no segment is left
    };
    FileCalls& calls;
    const QByteArray base; // folder/name, as the file system spells it
    const QByteArray folder;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<Command> commands;
    bool ending = false;
    bool abandoned = false;
    bool working = false; // commands taken, not done yet
    bool unflushed = false;
    std::atomic<bool> failing{false};
    std::atomic<Clock::rep> busySince{0};
    Clock::time_point lastFlushEnd{};
    int fd = -1; // the thread's: the segment being appended to
    int fdSegment = 0;

    // The marks: the storage thread logs places while this thread forgets them.
    struct MarksEntry {
        quint64 maxSeq;
        QByteArray frame;
    };
    std::mutex marksMutex;
    int marksFd = -1;
    std::deque<MarksEntry> marks;
    QByteArray confirmed; // the latest word on what is on the medium
    qint64 marksBytes = 0;

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
    // The thread's alone: false when the command must be tried again.
    bool carryOut(const Command& command) {
        switch (command.kind) {
        case Command::Kind::Append:
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
                QFile::remove(decodePath(segmentPath(segment)));
            }
            return true;
        case Command::Kind::Forget:
            forgetMarks(command.seq, command.empty);
            return true;
        }
        return true;
    }

    void logPlaces(const QByteArray& path, quint32 fileId, const QList<SeqPlace>& places) override {
        if (places.isEmpty())
            return;
        quint64 maxSeq = 0;
        for (const SeqPlace& p : places)
            maxSeq = std::max(maxSeq, p.seq);
        QByteArray frame = SpoolFormat::placesFrame(path, fileId, places);
        const std::lock_guard lock(marksMutex);
        if (marksFd < 0)
            marksFd = openNew(marksPath());
        // The write of the records waits for this: a crash after it must find their places.
        if (marksFd < 0 || calls.appendWhole(marksFd, frame) != 0 || calls.dataSync(marksFd) != 0)
            failing = true;
        marksBytes += frame.size();
        marks.push_back({maxSeq, std::move(frame)});
    }

    // Records up to `seq` are on the medium; their places are no longer needed, but their
    // frames may still be in a segment, so the marks say they are done.
    void forgetMarks(quint64 seq, bool spoolEmpty) {
        const std::lock_guard lock(marksMutex);
        marks.erase(std::remove_if(marks.begin(), marks.end(),
                                   [seq](const MarksEntry& e) { return e.maxSeq <= seq; }),
                    marks.end());
        if (spoolEmpty && marks.empty()) {
            removeMarks();
            return;
        }
        confirmed = SpoolFormat::confirmedFrame(seq);
        // Should the rewrite fail, the old marks stand and take the confirmation as before.
        if (marksBytes + confirmed.size() > kMarksRewriteBytes && rewriteMarks())
            return;
        if (marksFd < 0)
            marksFd = openNew(marksPath());
        if (marksFd >= 0 && calls.appendWhole(marksFd, confirmed) == 0)
            marksBytes += confirmed.size();
    }
    void removeMarks() { // with marksMutex held
        confirmed.clear();
        if (marksFd >= 0)
            calls.closeFile(marksFd);
        marksFd = -1;
        marksBytes = 0;
        QFile::remove(decodePath(marksPath()));
    }
    bool rewriteMarks() { // with marksMutex held
        QByteArray bytes = confirmed;
        for (const MarksEntry& e : marks)
            bytes += e.frame;
        const QByteArray fresh = marksPath() + ".new";
        QFile::remove(decodePath(fresh));
        int error = 0;
        const int out = calls.openForAppend(fresh, error);
        if (out < 0)
            return false;
        const bool written = calls.appendWhole(out, bytes) == 0 && calls.dataSync(out) == 0;
        calls.closeFile(out);
        // The old marks stay until the new ones are whole on the medium. They are closed before
        // they are replaced: Windows replaces no file that is open.
        if (!written) {
            QFile::remove(decodePath(fresh));
            return false;
        }
        if (marksFd >= 0)
            calls.closeFile(marksFd);
        const bool replaced = replaceFile(fresh, marksPath()) == 0;
        if (replaced)
            syncFolder(calls, folder);
        else
            QFile::remove(decodePath(fresh));
        marksFd = calls.openForAppend(marksPath(), error);
        if (replaced)
            marksBytes = bytes.size();
        return replaced;
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
    m_shared = std::make_shared<Shared>(calls, encodePath(QDir(folder).filePath(m_name)),
                                        encodePath(folder));
    m_thread = std::thread(&Spool::run, m_shared);
}

Spool::~Spool() {
    if (m_thread.joinable())
        finish({}, milliseconds(2000));
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

void Spool::claim() {
    if (m_lock)
        return;
    // Before any file exists, so a START of another logger never takes a spool still in use.
    QDir().mkpath(m_folder);
    m_lock = std::make_unique<QLockFile>(QDir(m_folder).filePath(m_name + QStringLiteral(".lock")));
    m_lock->setStaleLockTime(0);
    m_lock->tryLock(0);
}

void Spool::appendRecords(const QList<PendingRecord>& records) {
    if (records.isEmpty())
        return;
    claim();
    std::deque<Shared::Command> commands;
    for (const PendingRecord& record : records) {
        const QByteArray frame = SpoolFormat::recordFrame(record);
        if (m_segments.isEmpty() || m_segments.last().bytes >= kSegmentBytes)
            m_segments.append({m_nextSegment++, 0, 0});
        Segment& segment = m_segments.last();
        segment.maxSeq = std::max(segment.maxSeq, record.seq);
        segment.bytes += frame.size();
        if (commands.empty() || commands.back().segment != segment.number)
            commands.push_back({Shared::Command::Kind::Append, segment.number, {}, {}, 0, false});
        commands.back().bytes += frame;
    }
    const std::lock_guard lock(m_shared->mutex);
    for (Shared::Command& command : commands)
        m_shared->commands.push_back(std::move(command));
    m_shared->wake.notify_one();
}

void Spool::dropThrough(quint64 seq) {
    if (!m_lock)
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
        m_shared->commands.push_back({Shared::Command::Kind::Delete, 0, {}, drop, 0, false});
    m_shared->commands.push_back(
        {Shared::Command::Kind::Forget, 0, {}, {}, seq, m_segments.isEmpty()});
    m_shared->wake.notify_one();
}

SpoolPosition Spool::nextAppendAt() const {
    if (m_segments.isEmpty() || m_segments.last().bytes >= kSegmentBytes)
        return {m_nextSegment, 0};
    return {m_segments.last().number, m_segments.last().bytes};
}

QList<PendingRecord> Spool::readFrom(SpoolPosition from, qint64 maxBytes,
                                     SpoolPosition& next) const {
    QList<PendingRecord> records;
    next = from;
    for (const Segment& segment : m_segments) {
        if (segment.number < next.segment)
            continue;
        if (segment.number > next.segment)
            next = {segment.number, 0};
        QFile file(decodePath(m_shared->segmentPath(segment.number)));
        if (!file.open(QIODevice::ReadOnly) || !file.seek(next.offset))
            return records;
        SpoolReader reader;
        reader.restartAt(next.offset);
        // Only what the spool's thread has appended in whole frames is read.
        for (const SpoolReader::Frame& frame :
             reader.read(file.read(std::min(maxBytes, segment.bytes - next.offset)), false))
            if (frame.kind == SpoolReader::Frame::Kind::Record)
                records.append(frame.record);
        maxBytes -= reader.consumed() - next.offset;
        next.offset = reader.consumed();
        if (next.offset < segment.bytes || maxBytes <= 0)
            return records;
    }
    return records;
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
    s.wake.notify_all();
    const bool done = s.idle.wait_for(
        lock, deadline, [&s] { return s.commands.empty() && !s.working && !s.unflushed; });
    s.abandoned = !done;
    s.wake.notify_all();
    lock.unlock();
    if (!done) {
        m_thread.detach(); // a local disk that stopped answering; the thread keeps its state
        return false;
    }
    m_thread.join();
    if (m_segments.isEmpty()) {
        // Nothing kept: no file for a later START to find.
        const std::lock_guard marksLock(s.marksMutex);
        s.removeMarks();
        m_lock.reset();
    }
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
    if (s.fd >= 0 && !s.abandoned)
        s.calls.closeFile(s.fd);
    s.idle.notify_all();
}
