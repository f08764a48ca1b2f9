#include "acquisition/spool.h"

#include "acquisition/platform_files.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtEndian>
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

using std::chrono::milliseconds;

namespace {

constexpr char kMagic[] = "TSR1";
constexpr qsizetype kMagicSize = 4;
constexpr quint8 kWrite = 1;
constexpr quint8 kInDoubt = 2;

void put32(QByteArray& out, quint32 v) {
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}
void put64(QByteArray& out, quint64 v) {
    char b[8];
    qToLittleEndian(v, b);
    out.append(b, 8);
}
void putBytes(QByteArray& out, const QByteArray& bytes) {
    put32(out, static_cast<quint32>(bytes.size()));
    out += bytes;
}

// Reads a frame's fields in order; any read past the end leaves it !ok.
struct Reader {
    const QByteArray& data;
    qsizetype at;
    bool ok = true;
    bool has(qsizetype n) {
        ok = ok && n >= 0 && at + n <= data.size();
        return ok;
    }
    quint64 u64() {
        if (!has(8))
            return 0;
        at += 8;
        return qFromLittleEndian<quint64>(data.constData() + at - 8);
    }
    quint32 u32() {
        if (!has(4))
            return 0;
        at += 4;
        return qFromLittleEndian<quint32>(data.constData() + at - 4);
    }
    QByteArray bytes() {
        const auto n = static_cast<qsizetype>(u32());
        if (!has(n))
            return {};
        at += n;
        return data.mid(at - n, n);
    }
};

quint16 checksum(const QByteArray& data, qsizetype from, qsizetype to) {
    return qChecksum(QByteArrayView(data.constData() + from, to - from));
}

} // namespace

struct Spool::Shared {
    Shared(FileCalls& fileCalls, QByteArray spoolPath)
        : calls(fileCalls), path(std::move(spoolPath)) {}

    struct Command {
        QByteArray bytes; // frames to append
        bool clear = false;
    };
    FileCalls& calls;
    const QByteArray path;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<Command> commands;
    bool ending = false;
    bool abandoned = false;
    bool working = false; // commands taken, not done yet
    bool unflushed = false;
    std::atomic<bool> failing{false};
    std::atomic<qint64> size{0};
    std::atomic<Clock::rep> busySince{0};
    Clock::time_point lastFlushEnd{};
    int fd = -1;

    void busy(bool on) {
        busySince = on ? std::max<Clock::rep>(1, Clock::now().time_since_epoch().count()) : 0;
    }
    // The thread's alone: false when the command must be tried again.
    bool carryOut(const Command& command) {
        int error = 0;
        if (fd < 0)
            fd = calls.openForAppend(path, error);
        if (fd < 0)
            return false;
        if (command.clear) {
            if (truncateFile(fd, 0) != 0)
                return false;
            size = 0;
            unflushed = true;
            return true;
        }
        if (calls.appendWhole(fd, command.bytes) != 0)
            return false;
        size += command.bytes.size();
        unflushed = true;
        return true;
    }
};

Spool::Spool(const QString& folder, FileCalls& calls) {
    // Named for what it holds, so whoever finds it knows; the time orders earlier runs'.
    m_path = QDir(folder).filePath(
        QStringLiteral("unwritten-records-%1-%2.spool")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss")))
            .arg(QCoreApplication::applicationPid()));
    m_shared = std::make_shared<Shared>(calls, QFile::encodeName(m_path));
    m_thread = std::thread(&Spool::run, m_shared);
}

Spool::~Spool() {
    if (m_thread.joinable())
        finish({}, milliseconds(2000));
}

QString Spool::defaultFolder() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty())
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/tessaline");
}

void Spool::claim() {
    if (m_lock)
        return;
    // Before the file exists, so a START of another logger never takes a spool still in use.
    QDir().mkpath(QFileInfo(m_path).path());
    m_lock = std::make_unique<QLockFile>(m_path + QStringLiteral(".lock"));
    m_lock->setStaleLockTime(0);
    m_lock->tryLock(0);
}

void Spool::append(const QList<PendingRecord>& records) {
    if (records.isEmpty())
        return;
    claim();
    QByteArray bytes;
    for (const PendingRecord& record : records)
        bytes += frame(record);
    const std::lock_guard lock(m_shared->mutex);
    m_shared->commands.push_back({std::move(bytes), false});
    m_shared->wake.notify_one();
}

void Spool::clear() {
    if (!m_lock)
        return; // nothing was ever appended
    const std::lock_guard lock(m_shared->mutex);
    m_shared->commands.push_back({{}, true});
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

qint64 Spool::size() const {
    return m_shared->size;
}

bool Spool::finish(const QList<PendingRecord>& records, milliseconds deadline) {
    append(records);
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
    if (s.size == 0)
        QFile::remove(m_path); // nothing kept: no file for a later START to find
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
            s.failing = !commands.empty();
            // What could not be written is tried again first, a second later.
            s.commands.insert(s.commands.begin(), commands.begin(), commands.end());
            s.idle.notify_all();
            if (s.failing)
                s.wake.wait_for(lock, milliseconds(1000));
            continue;
        }
        const Clock::time_point flushAt = s.lastFlushEnd + milliseconds(1000);
        if (s.unflushed && Clock::now() >= flushAt) {
            s.unflushed = false;
            s.working = true;
            lock.unlock();
            s.busy(true);
            s.calls.dataSync(s.fd);
            s.busy(false);
            lock.lock();
            s.working = false;
            s.lastFlushEnd = Clock::now();
            s.idle.notify_all();
            continue;
        }
        if (s.ending && s.commands.empty() && !s.unflushed)
            break;
        if (s.ending && s.unflushed) {
            s.lastFlushEnd = {}; // the end does not wait for the second
            continue;
        }
        if (s.unflushed)
            s.wake.wait_until(lock, flushAt);
        else
            s.wake.wait(lock);
    }
    if (s.fd >= 0 && !s.abandoned)
        s.calls.closeFile(s.fd);
    s.idle.notify_all();
}

QByteArray Spool::frame(const PendingRecord& record) {
    QByteArray out(kMagic, kMagicSize);
    out += static_cast<char>((record.write ? kWrite : 0) | (record.inDoubt ? kInDoubt : 0));
    put64(out, record.seq);
    put64(out, static_cast<quint64>(record.stampMs));
    putBytes(out, record.target.path);
    putBytes(out, record.target.folder);
    putBytes(out, record.target.header);
    putBytes(out, record.record);
    const quint16 sum = checksum(out, kMagicSize, out.size());
    char b[2];
    qToLittleEndian(sum, b);
    out.append(b, 2);
    return out;
}

QList<PendingRecord> Spool::parse(const QByteArray& data, qsizetype* consumed) {
    QList<PendingRecord> records;
    qsizetype at = 0;
    while (data.mid(at, kMagicSize) == QByteArrayView(kMagic, kMagicSize)) {
        Reader in{data, at + kMagicSize};
        PendingRecord record;
        const quint8 flags = in.has(1) ? static_cast<quint8>(data.at(in.at++)) : 0;
        record.seq = in.u64();
        record.stampMs = static_cast<qint64>(in.u64());
        record.target.path = in.bytes();
        record.target.folder = in.bytes();
        record.target.header = in.bytes();
        record.record = in.bytes();
        const qsizetype end = in.at;
        if (!in.has(2) || qFromLittleEndian<quint16>(data.constData() + end) !=
                              checksum(data, at + kMagicSize, end))
            break;
        record.write = (flags & kWrite) != 0;
        record.inDoubt = (flags & kInDoubt) != 0;
        records.append(record);
        at = end + 2;
    }
    if (consumed)
        *consumed = at;
    return records;
}

QList<PendingRecord> Spool::readFrom(qint64 offset, qint64 maxBytes, qint64& next) const {
    next = offset;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return {};
    QByteArray data = file.read(maxBytes);
    qsizetype consumed = 0;
    QList<PendingRecord> records = parse(data, &consumed);
    // A frame larger than the chunk: read on until it is whole.
    while (consumed == 0 && !file.atEnd()) {
        data += file.read(maxBytes);
        records = parse(data, &consumed);
    }
    next = offset + consumed;
    return records;
}

QList<PendingRecord> Spool::takeLeftovers(const QString& folder, QStringList& files) {
    QList<PendingRecord> records;
    const QDir dir(folder);
    for (const QString& name :
         dir.entryList({QStringLiteral("*.spool")}, QDir::Files, QDir::Name)) {
        const QString path = dir.filePath(name);
        // A spool whose logger still runs is held by it.
        QLockFile lock(path + QStringLiteral(".lock"));
        lock.setStaleLockTime(0);
        if (!lock.tryLock(0))
            continue;
        QByteArray data;
        if (readWholeFile(QFile::encodeName(path), data))
            records += parse(data);
        files << path;
    }
    return records;
}

void Spool::removeLeftovers(const QStringList& files) {
    for (const QString& path : files) {
        QFile::remove(path);
        QFile::remove(path + QStringLiteral(".lock"));
    }
}
