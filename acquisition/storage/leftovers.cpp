// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/leftovers.h"

#include "acquisition/platform/platform_files.h"
#include "acquisition/storage/data_file.h"
#include "acquisition/storage/spool.h"
#include "acquisition/storage/spool_format.h"
#include "acquisition/storage/spreadsheet_copy.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QLockFile>
#include <QMap>
#include <QSet>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

using std::chrono::duration_cast;
using std::chrono::milliseconds;

namespace {

enum class Outcome { Done, SetAside, Stopped };

constexpr size_t kRecordsReadKept = 65536;

QByteArray lineOf(const PendingRecord& record) {
    return record.record + "\r\n";
}

// A spool's run and its piece: "unwritten-records-<run>[.NNNNNN].spool", piece 0 when the
// number is absent. Read by hand: this runs on a std::thread, and under MinGW a thread that
// matched a QRegularExpression may crash as it ends (its JIT stack's holder is destroyed after
// the thread's storage is freed).
std::optional<std::pair<QString, int>> spoolPiece(const QString& file) {
    static const QString prefix = QStringLiteral("unwritten-records-");
    static const QString suffix = QStringLiteral(".spool");
    if (!file.startsWith(prefix) || !file.endsWith(suffix) ||
        file.size() <= prefix.size() + suffix.size() || file.contains(u'\n'))
        return std::nullopt;
    const QString stem = file.chopped(suffix.size());
    constexpr int kDigits = 6;
    const qsizetype dot = stem.size() - kDigits - 1;
    if (dot > prefix.size() && stem.at(dot) == u'.') {
        const QStringView digits = QStringView(stem).sliced(dot + 1);
        if (std::all_of(digits.begin(), digits.end(),
                        [](QChar c) { return c >= u'0' && c <= u'9'; }))
            return std::pair(stem.left(dot), digits.toInt());
    }
    return std::pair(stem, 0);
}

// The records read from a spool that go into one file with one write, and the rows of its
// spreadsheet copy, which follow them into theirs.
struct Batch {
    QList<PendingRecord> records;
    qint64 bytes = 0;
    SpoolPosition end; // in the spool, after the last of them
    QByteArray dataPath;
    bool fits(const PendingRecord& record) const {
        return records.isEmpty() || (dataPathOf(record.target.path) == dataPath &&
                                     records.size() < Leftovers::kBatchRecords &&
                                     bytes + record.record.size() + 2 <= Leftovers::kPieceBytes);
    }
    static QByteArray dataPathOf(const QByteArray& path) {
        return isCsvPath(path) ? dataPathOfCsv(path) : path;
    }
    void add(PendingRecord record, SpoolPosition after) {
        if (records.isEmpty())
            dataPath = dataPathOf(record.target.path);
        bytes += record.record.size() + 2;
        records.append(std::move(record));
        end = after;
    }
};

} // namespace

struct Leftovers::Run {
    QString name;
    QList<int> segments; // ascending; 0 is a spool of an earlier version, one file alone
    std::unique_ptr<QLockFile> lock;
    // With Shared::mutex held:
    qsizetype total = -1; // records to write, once counted
    qsizetype done = 0;
    bool setAside = false;
    bool busy = false; // a thread is in it, perhaps one given up and still in a call
    Clock::time_point setAsideAt{};
    Clock::time_point retryAt{};
    QHash<QByteArray, FlushNotice> flushFailing; // by file: written, a flush failed since
    QHash<QByteArray, quint64> noticedThrough;   // by file: the last record counted in it
    QHash<QByteArray, qsizetype> leftInFile;     // records not yet written, by the file held
    // How far records were written past the replay's mark while their copy's rows could not
    // be: counted, and their file let go, once. A place in the spool, not a sequence number:
    // the spool is in the order records reached it, and a replay forms its batches alike.
    SpoolPosition countedTo;
    QByteArray folderInUse;
    QByteArray redirect; // the folder the operator chose instead
};

struct Leftovers::Pass {
    QList<std::shared_ptr<Run>> runs; // with Shared::mutex held
    qsizetype next = 0;
    std::shared_ptr<Run> current;
    bool ended = false;
    std::atomic<bool> givenUp{false};
    std::atomic<Clock::rep> busySince{0};
    void busy(bool on) {
        busySince = on ? std::max<Clock::rep>(1, Clock::now().time_since_epoch().count()) : 0;
    }
};

struct Leftovers::Shared : std::enable_shared_from_this<Shared> {
    Shared(QString spoolFolder, FileCalls& fileCalls, std::function<void()> tellFront,
           std::shared_ptr<FileOrder> fileOrder)
        : folder(std::move(spoolFolder)), calls(fileCalls), wakeFront(std::move(tellFront)),
          order(std::move(fileOrder)) {}

    const QString folder;
    FileCalls& calls;
    const std::function<void()> wakeFront;
    const std::shared_ptr<FileOrder> order;
    mutable std::mutex mutex;
    std::condition_variable passEnded;
    QList<std::shared_ptr<Run>> runs; // adopted and not yet written, oldest first
    std::shared_ptr<Pass> active;     // the pass writing, if any
    QStringList keptAside;
    QList<FlushNotice> flushNotices; // recovered, for the front to tell
    qsizetype written = 0;
    QByteArray redirectedTo;
    std::atomic<bool> stopping{false};
    milliseconds retryInterval = kRetryInterval;
    bool adopting = false;   // the folder is being looked through for runs
    bool adoptAgain = false; // a START came meanwhile: look again

    // While the folder is looked through, a run not yet found may hold any file: it holds them
    // all under a name before every run's.
    static inline const QString kLooking = QStringLiteral("unwritten-records-");

    QString pathOf(const Run& run, const QString& suffix) const {
        return QDir(folder).filePath(run.name + suffix);
    }
    QString segmentPath(const Run& run, int segment) const {
        return segment == 0 ? pathOf(run, QStringLiteral(".spool"))
                            : QDir(folder).filePath(Spool::segmentName(run.name, segment));
    }
    static void adoptRuns(const std::shared_ptr<Shared>& shared);
    // With the mutex held.
    void startPass(QList<std::shared_ptr<Run>> runsToWrite);
    void setAside(Run& run, Clock::time_point now);
    static void runPass(const std::shared_ptr<Shared>& shared, const std::shared_ptr<Pass>& pass);
    Outcome replay(Pass& pass, Run& run);
    Outcome writeBatch(Pass& pass, Run& run, Batch& batch, DataFileWriter& writer,
                       bool& rowsBehind);
    Outcome writePart(Pass& pass, Run& run, const QList<PendingRecord>& records,
                      DataFileWriter& writer);
    bool appendMarks(const Run& run, const QByteArray& frame, bool durable);
    void count(Run& run, const SpoolMarks& marks);
    void holdLeft(const Run& run); // with the mutex held
    int32_t settle(Run& run, const QByteArray& path, const QList<PendingRecord>& records,
                   QList<bool>& landed);
    void flushFailed(Run& run, const QByteArray& path, const QList<PendingRecord>& records,
                     const QList<bool>& which, int32_t error);
    void close(Run& run, bool damaged);
};

void Leftovers::Shared::startPass(QList<std::shared_ptr<Run>> runsToWrite) {
    auto next = std::make_shared<Pass>();
    next->runs = std::move(runsToWrite);
    active = next;
    std::thread(&Shared::runPass, shared_from_this(), next).detach();
}

void Leftovers::Shared::setAside(Run& run, Clock::time_point now) {
    run.setAside = true;
    run.setAsideAt = now;
    run.retryAt = now + retryInterval;
}

Leftovers::Leftovers(const QString& folder, FileCalls& calls, std::function<void()> wakeFront,
                     std::shared_ptr<FileOrder> order)
    : m_shared(std::make_shared<Shared>(folder, calls, std::move(wakeFront), std::move(order))) {}

Leftovers::~Leftovers() {
    finish(milliseconds(2000));
}

void Leftovers::adopt() {
    Shared& s = *m_shared;
    const std::lock_guard lock(s.mutex);
    if (s.stopping)
        return;
    s.written = 0; // what an earlier START wrote has been told
    s.redirectedTo.clear();
    if (s.adopting) {
        s.adoptAgain = true;
        return;
    }
    // The folder is looked through on a thread of its own: it may be on a share that hangs.
    s.adopting = true;
    s.order->holdAll(Shared::kLooking);
    std::thread(&Shared::adoptRuns, s.shared_from_this()).detach();
}

void Leftovers::Shared::adoptRuns(const std::shared_ptr<Shared>& shared) {
    Shared& s = *shared;
    for (bool again = true; again;) {
        QMap<QString, QList<int>> found;
        const QDir dir(s.folder);
        // No name filter: QDir matches those with a QRegularExpression (see spoolPiece).
        for (const QString& file : dir.entryList(QDir::Files, QDir::Name)) {
            if (const auto piece = spoolPiece(file))
                found[piece->first].append(piece->second);
        }
        QSet<QString> known;
        {
            const std::lock_guard lock(s.mutex);
            for (const auto& run : std::as_const(s.runs))
                known.insert(run->name);
        }
        QList<std::shared_ptr<Run>> adopted;
        for (auto it = found.begin(); it != found.end(); ++it) {
            // This process's own spool is the present's, however its lock fares.
            if (known.contains(it.key()) || Spool::isOwnRun(it.key()))
                continue;
            auto run = std::make_shared<Run>();
            run->name = it.key();
            // A spool whose logger still runs is its own; one another logger replays is held.
            run->lock = std::make_unique<QLockFile>(s.pathOf(*run, QStringLiteral(".lock")));
            run->lock->setStaleLockTime(0);
            if (!run->lock->tryLock(0))
                continue;
            run->segments = it.value();
            std::sort(run->segments.begin(), run->segments.end());
            adopted.append(run);
        }
        const std::lock_guard lock(s.mutex);
        again = std::exchange(s.adoptAgain, false) && !s.stopping;
        // Every file, until its records say which; also when END came meanwhile, so the
        // present's records wait in the spool for them till the next START.
        for (const auto& run : std::as_const(adopted))
            s.order->holdAll(run->name);
        if (!again) {
            s.adopting = false;
            s.order->release(kLooking);
            s.passEnded.notify_all();
        }
        s.runs += adopted;
        if (s.stopping || adopted.isEmpty())
            continue;
        if (s.active && !s.active->ended && !s.active->givenUp)
            s.active->runs += adopted;
        else
            s.startPass(adopted);
    }
    // The present may write to the files nobody holds now.
    s.wakeFront();
}

void Leftovers::check(bool presentWaits) {
    Shared& s = *m_shared;
    const std::lock_guard lock(s.mutex);
    if (s.stopping)
        return;
    const Clock::time_point now = Clock::now();
    if (s.active) {
        const Clock::rep since = s.active->busySince;
        const bool hung =
            since != 0 && now - Clock::time_point(Clock::duration(since)) >= kSetAsideAfter;
        if (!hung || !s.active->current)
            return;
        // A call that hangs cannot be cancelled: its thread is left to it, and the runs after
        // this one go on with another.
        s.active->givenUp = true;
        s.setAside(*s.active->current, now);
        const QList<std::shared_ptr<Run>> rest = s.active->runs.mid(s.active->next);
        s.active.reset();
        if (!rest.isEmpty())
            s.startPass(rest);
        return;
    }
    QList<std::shared_ptr<Run>> due;
    for (const auto& run : std::as_const(s.runs))
        if (run->setAside && !run->busy &&
            (run->retryAt <= now ||
             (presentWaits &&
              now - run->setAsideAt >= std::min(kPresentWaitsRetry, s.retryInterval))))
            due.append(run);
    if (!due.isEmpty())
        s.startPass(due);
}

Leftovers::State Leftovers::state() const {
    const Shared& s = *m_shared;
    const std::lock_guard lock(s.mutex);
    State state;
    state.written = s.written;
    state.redirectedTo = s.redirectedTo;
    state.keptAside = s.keptAside;
    state.replaying = s.active && !s.active->ended && !s.active->givenUp;
    for (const auto& run : s.runs) {
        state.uncounted += run->total < 0 ? 1 : 0;
        const qsizetype left = std::max<qsizetype>(0, run->total - run->done);
        if (!run->setAside) {
            state.writing += left;
            continue;
        }
        if (state.waiting == 0)
            state.waitingFor = run->redirect.isEmpty() ? run->folderInUse : run->redirect;
        state.waiting += left;
    }
    return state;
}

QList<FlushNotice> Leftovers::takeFlushNotices() {
    const std::lock_guard lock(m_shared->mutex);
    return std::exchange(m_shared->flushNotices, {});
}

void Leftovers::redirect(const QByteArray& folder) {
    {
        const std::lock_guard lock(m_shared->mutex);
        for (const auto& run : std::as_const(m_shared->runs)) {
            if (!run->setAside)
                continue;
            run->redirect = folder;
            run->retryAt = {};
            m_shared->redirectedTo = folder;
            run->leftInFile.clear();
            m_shared->holdLeft(*run);
        }
    }
    check();
}

void Leftovers::finish(milliseconds deadline) {
    Shared& s = *m_shared;
    std::unique_lock lock(s.mutex);
    s.stopping = true;
    // The thread stops after the batch under way; one in a call that hangs is left to it. A
    // look for runs under way is waited for too: till it ends, every file is held.
    s.passEnded.wait_for(lock, deadline,
                         [&s] { return (!s.active || s.active->ended) && !s.adopting; });
}

void Leftovers::setRetryInterval(milliseconds interval) {
    const std::lock_guard lock(m_shared->mutex);
    m_shared->retryInterval = interval;
}

void Leftovers::Shared::runPass(const std::shared_ptr<Shared>& shared,
                                const std::shared_ptr<Pass>& pass) {
    Shared& s = *shared;
    for (;;) {
        std::shared_ptr<Run> run;
        {
            const std::lock_guard lock(s.mutex);
            if (s.stopping || pass->givenUp || pass->next >= pass->runs.size()) {
                // In the same turn of the lock, so an adoption never adds to a pass that ends.
                pass->ended = true;
                pass->current.reset();
                if (s.active == pass)
                    s.active.reset();
                s.passEnded.notify_all();
                break;
            }
            run = pass->runs[pass->next++];
            pass->current = run;
            run->busy = true;
            run->setAside = false;
        }
        const Outcome outcome = s.replay(*pass, *run);
        {
            const std::lock_guard lock(s.mutex);
            run->busy = false;
            if (outcome == Outcome::Done)
                s.runs.removeAll(run);
            // It keeps its files: the present goes on with its others.
            if (outcome == Outcome::SetAside && !pass->givenUp)
                s.setAside(*run, Clock::now());
        }
        s.wakeFront();
    }
    s.wakeFront();
}

// How many records are left to write, and which files they are meant for: the run holds those
// alone from now on.
void Leftovers::Shared::count(Run& run, const SpoolMarks& marks) {
    const SpoolPosition from = marks.replayedTo;
    qsizetype records = 0;
    QHash<QByteArray, qsizetype> files;
    for (const int segment : run.segments) {
        if (segment < from.segment)
            continue;
        QFile file(segmentPath(run, segment));
        const qint64 start = segment == from.segment ? from.offset : 0;
        if (!file.open(QIODevice::ReadOnly) || !file.seek(start))
            continue; // the replay keeps it aside
        SpoolReader reader;
        reader.restartAt(start);
        for (bool atEnd = false; !atEnd;) {
            const QByteArray piece = file.read(kPieceBytes);
            atEnd = piece.isEmpty() || file.atEnd();
            for (const SpoolReader::Frame& frame : reader.read(piece, atEnd)) {
                if (frame.kind != SpoolReader::Frame::Kind::Record ||
                    frame.record.seq <= marks.confirmedThrough ||
                    !SpoolFormat::mayBeWritten(frame.record))
                    continue;
                records += isCsvRow(frame.record) ? 0 : 1;
                ++files[frame.record.target.path];
            }
        }
    }
    const std::lock_guard lock(mutex);
    run.total = records;
    // Records the operator sent elsewhere hold no file: they may stand after newer ones.
    if (run.redirect.isEmpty() && marks.redirect.isEmpty())
        run.leftInFile = files;
    holdLeft(run);
}

void Leftovers::Shared::holdLeft(const Run& run) {
    const QList<QByteArray> files = run.leftInFile.keys();
    order->hold(run.name, QSet<QByteArray>(files.begin(), files.end()));
}

Outcome Leftovers::Shared::replay(Pass& pass, Run& run) {
    // In bounded pieces: however long a failure made them, what is kept is a place per record.
    const SpoolMarks marks = Spool::readMarks(pathOf(run, QStringLiteral(".marks")));
    if (run.total < 0)
        count(run, marks);
    wakeFront();
    QByteArray redirect;
    {
        const std::lock_guard lock(mutex);
        redirect = run.redirect;
    }
    // The operator's choice lasts: a later START writes them there too, and finds the places
    // the writes there were given.
    if (redirect.isEmpty())
        redirect = marks.redirect;
    else if (redirect != marks.redirect &&
             !appendMarks(run, SpoolFormat::redirectFrame(redirect), true))
        return Outcome::SetAside;

    DataFileWriter writer(calls);
    Batch batch;
    bool damaged = false;
    bool rowsBehind = false; // a copy could not take its rows: the records go on alone
    // Records read lately: a row follows its record closely in the spool.
    std::set<quint64> recordsRead;
    for (const int segment : run.segments) {
        if (segment < marks.replayedTo.segment)
            continue;
        QFile file(segmentPath(run, segment));
        const qint64 start = segment == marks.replayedTo.segment ? marks.replayedTo.offset : 0;
        if (!file.open(QIODevice::ReadOnly) || !file.seek(start)) {
            damaged = true; // unreadable here: kept for whoever can read it
            continue;
        }
        SpoolReader reader;
        reader.restartAt(start);
        for (bool atEnd = false; !atEnd;) {
            const QByteArray piece = file.read(kPieceBytes);
            atEnd = piece.isEmpty() || file.atEnd();
            for (const SpoolReader::Frame& frame : reader.read(piece, atEnd)) {
                // Those the run flushed itself are done.
                if (frame.kind != SpoolReader::Frame::Kind::Record || !frame.record.write ||
                    frame.record.seq <= marks.confirmedThrough)
                    continue;
                PendingRecord record = frame.record;
                if (!SpoolFormat::mayBeWritten(record)) {
                    damaged = true; // never written anywhere
                    continue;
                }
                if (!redirect.isEmpty()) {
                    const QByteArray name = record.target.path.mid(record.target.folder.size() + 1);
                    record.target.folder = redirect;
                    record.target.path = redirect + '/' + name;
                    record.place = {};
                }
                // The latest word on where a write of it went, in the file it goes to now.
                if (const auto place = marks.places.constFind(record.seq);
                    place != marks.places.cend() && place->path == record.target.path)
                    record.place = place->place;
                // Once the spool shows damage, a row goes only where its record was read (or
                // is on the medium, or the row was being written already): never a row whose
                // record was lost with a damaged frame.
                if (!isCsvRow(record)) {
                    recordsRead.insert(record.seq);
                    if (recordsRead.size() > kRecordsReadKept)
                        recordsRead.erase(recordsRead.begin());
                } else if ((damaged || reader.damaged() > 0) && !record.place.known() &&
                           record.seq - 1 > marks.confirmedThrough &&
                           recordsRead.erase(record.seq - 1) == 0) {
                    damaged = true;
                    continue;
                }
                if (!batch.fits(record)) {
                    if (const Outcome o = writeBatch(pass, run, batch, writer, rowsBehind);
                        o != Outcome::Done)
                        return o;
                }
                batch.add(std::move(record), {segment, frame.end});
            }
            damaged = damaged || reader.damaged() > 0;
            if (stopping || pass.givenUp)
                return Outcome::Stopped;
        }
    }
    if (!batch.records.isEmpty())
        if (const Outcome o = writeBatch(pass, run, batch, writer, rowsBehind); o != Outcome::Done)
            return o;
    // The copy's rows wait for another try, the records are all in their files.
    if (rowsBehind)
        return Outcome::SetAside;
    close(run, damaged);
    return Outcome::Done;
}

// The marks are on the local disk, whatever the data folder is on.
bool Leftovers::Shared::appendMarks(const Run& run, const QByteArray& frame, bool durable) {
    QFile marks(pathOf(run, QStringLiteral(".marks")));
    return marks.open(QIODevice::Append) && marks.write(frame) == frame.size() && marks.flush() &&
           (!durable || syncFile(systemFileCalls(), encodePath(marks.fileName())) == 0);
}

Outcome Leftovers::Shared::writeBatch(Pass& pass, Run& run, Batch& batch, DataFileWriter& writer,
                                      bool& rowsBehind) {
    // The records first: a row is written only once its record is in its file. A copy that
    // cannot take its rows holds no record back: from then on this try writes the records
    // alone, and the replay's mark stays where the rows wait.
    QList<PendingRecord> records;
    QList<PendingRecord> rows;
    for (const PendingRecord& record : std::as_const(batch.records))
        (isCsvRow(record) ? rows : records).append(record);
    if (!records.isEmpty())
        if (const Outcome o = writePart(pass, run, records, writer); o != Outcome::Done)
            return o;
    bool rowsWritten = false;
    if (!rows.isEmpty() && !rowsBehind) {
        const Outcome o = writePart(pass, run, rows, writer);
        if (o == Outcome::Stopped)
            return o;
        rowsWritten = o == Outcome::Done;
        rowsBehind = !rowsWritten;
    }
    if (!rowsBehind)
        appendMarks(run, SpoolFormat::replayedFrame(batch.end), false);
    {
        const std::lock_guard lock(mutex);
        // Records written on an earlier try whose rows waited are counted once.
        const qsizetype fresh = run.countedTo < batch.end ? records.size() : 0;
        if (rowsBehind && run.countedTo < batch.end)
            run.countedTo = batch.end;
        run.done += fresh;
        written += fresh;
        // A file the run has written all its records to is let go at once.
        bool letGo = false;
        const auto wrote = [&](const QByteArray& path, qsizetype count) {
            if (const auto left = run.leftInFile.find(path);
                count > 0 && left != run.leftInFile.end() && (*left -= count) <= 0) {
                run.leftInFile.erase(left);
                letGo = true;
            }
        };
        if (!records.isEmpty())
            wrote(records.first().target.path, fresh);
        if (rowsWritten)
            wrote(rows.first().target.path, rows.size());
        if (letGo)
            holdLeft(run);
    }
    batch = {};
    wakeFront();
    return Outcome::Done;
}

Outcome Leftovers::Shared::writePart(Pass& pass, Run& run, const QList<PendingRecord>& records,
                                     DataFileWriter& writer) {
    const FileTarget target = records.first().target;
    {
        const std::lock_guard lock(mutex);
        run.folderInUse = target.folder;
    }
    // A run before it that was set aside with records for this file goes first.
    if (!order->mayWrite(run.name, target.path))
        return Outcome::SetAside;
    pass.busy(true);
    const FileTurn turn(target.path);
    // A pass given up, or told to stop, begins no write, though its turn came late.
    if (stopping || pass.givenUp) {
        pass.busy(false);
        return Outcome::Stopped;
    }
    // Those whose write was begun before are looked for where it went, before anything new is
    // appended to the file; the rest are written.
    QList<bool> landed;
    int32_t error = settle(run, target.path, records, landed);
    QList<PendingRecord> toWrite;
    for (qsizetype i = 0; i < records.size(); ++i)
        if (!landed.value(i))
            toWrite.append(records[i]);
    if (error == 0 && !toWrite.isEmpty()) {
        error = writer.File_open(target);
        if (error == 0) {
            const FilePlace at = writer.nextPlace();
            QByteArray lines;
            QList<SeqPlace> places;
            for (const PendingRecord& record : std::as_const(toWrite)) {
                places.append({record.seq, at.offset + lines.size()});
                lines += lineOf(record);
            }
            // Where they go, on the local disk first, so a crash now cannot have them twice.
            if (!appendMarks(run, SpoolFormat::placesFrame(target.path, at.fileId, places), true))
                error = EIO;
            if (error == 0)
                error = writer.appendLines(lines);
            if (const qint64 shift = writer.lastAppendAt() - at.offset; error == 0 && shift != 0) {
                for (SeqPlace& place : places)
                    place.offset += shift; // another program wrote first
                appendMarks(run, SpoolFormat::placesFrame(target.path, at.fileId, places), true);
            }
        }
        // Written once and perhaps not on the medium: judged by their places from now on, and
        // the operator told once a flush of the file works.
        int32_t flushError = error == 0 ? writer.close() : 0;
        if (error == 0 && flushError == 0)
            for (const DataFileWriter::FlushFailure& failure : writer.flushNow())
                flushError = failure.error;
        writer.close();
        if (flushError != 0) {
            flushFailed(run, target.path, toWrite, QList<bool>(toWrite.size(), true), flushError);
            error = flushError;
        } else if (error == 0) {
            flushFailed(run, target.path, {}, {}, 0);
        }
    }
    pass.busy(false);
    return error != 0 ? Outcome::SetAside : Outcome::Done;
}

int32_t Leftovers::Shared::settle(Run& run, const QByteArray& path,
                                  const QList<PendingRecord>& records, QList<bool>& landed) {
    int32_t flushError = 0;
    const int32_t error = settlePlaced(calls, path, records, landed, flushError);
    if (error == 0 && flushError == 0 && landed.contains(true))
        flushFailed(run, path, {}, {}, 0);
    else if (flushError != 0)
        flushFailed(run, path, records, landed, flushError);
    return error != 0 ? error : flushError;
}

// With `error` 0: the file flushed, and what failed before is told as recovered.
void Leftovers::Shared::flushFailed(Run& run, const QByteArray& path,
                                    const QList<PendingRecord>& records, const QList<bool>& which,
                                    int32_t error) {
    const std::lock_guard lock(mutex);
    if (error == 0) {
        if (const auto it = run.flushFailing.constFind(path); it != run.flushFailing.cend()) {
            flushNotices.append(*it);
            run.flushFailing.erase(it);
        }
        return;
    }
    FlushNotice& notice = run.flushFailing[path];
    notice.path = path;
    notice.error = error;
    quint64& counted = run.noticedThrough[path];
    for (qsizetype i = 0; i < records.size(); ++i) {
        // A retry finds the same records again: each is counted once.
        if (!which.value(i) || records[i].seq <= counted)
            continue;
        counted = records[i].seq;
        if (notice.records++ == 0 || records[i].stampMs < notice.firstMs)
            notice.firstMs = records[i].stampMs;
        notice.lastMs = std::max(notice.lastMs, records[i].stampMs);
    }
}

void Leftovers::Shared::close(Run& run, bool damaged) {
    QStringList files{pathOf(run, QStringLiteral(".marks"))};
    for (const int segment : std::as_const(run.segments))
        files.prepend(segmentPath(run, segment));
    QStringList kept;
    for (const QString& file : std::as_const(files)) {
        // Renamed, so that no START reads it again; never deleted, as it may hold what no
        // file does.
        if (!damaged)
            QFile::remove(file);
        else if (QFile::exists(file) && QFile::rename(file, file + QStringLiteral(".damaged")) &&
                 file.endsWith(QLatin1String(".spool")))
            kept.append(file + QStringLiteral(".damaged"));
    }
    order->release(run.name);
    const std::lock_guard lock(mutex);
    keptAside += kept;
    run.lock.reset();
}
