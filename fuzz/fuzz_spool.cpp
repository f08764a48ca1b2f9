// SPDX-License-Identifier: GPL-3.0-or-later
// The spool's reader and the adoption of what an earlier run left, under arbitrary bytes and
// under valid spools with damaged frames. Raw: whatever the bytes, reading them in pieces of
// any size gives the frames reading them whole gives, and no record is writable unless its
// target is a data file name of ours (or its spreadsheet copy's) directly in an absolute folder.
// Built: every intact frame is read back, in order; adopted, every intact record with a good
// target is in its file once, nothing else is written anywhere, and the spool is removed only
// when nothing in it was bad. With a spreadsheet copy each record's row follows it in the
// spool; adopted, the rows are in the copy once, in their records' order, each appended only
// once its record is in its file and never without it. The run may have written some before
// it ended, its last line in a file cut short or zeros: the adoption completes them and
// writes none twice.
// Marks, raw and built (then damaged and cut short): read whole or in pieces, they keep exactly
// the latest place of each record their intact frames leave unconfirmed, and nothing more.
#include "acquisition/storage/data_file.h"
#include "acquisition/storage/leftovers.h"
#include "acquisition/storage/spool.h"
#include "acquisition/storage/spool_format.h"
#include "acquisition/storage/spreadsheet_copy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QSet>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what, const QByteArray& detail = {}) {
    std::fprintf(stderr, "fuzz_spool: %s %s\n", what, detail.toPercentEncoding().constData());
    std::abort();
}

// Said again here in other words, so that a slip in mayBeWritten shows.
bool goodTarget(const PendingRecord& r) {
    static const QRegularExpression name(QStringLiteral("^[0-9]{8}(_[0-9]{2})?\\.(txt|csv)$"));
    const QByteArray& path = r.target.path;
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = path.left(slash);
    return r.target.folder.startsWith('/') && !r.target.folder.contains("/../") &&
           !r.target.folder.endsWith("/..") &&
           (folder == r.target.folder || folder + '/' == r.target.folder) &&
           name.match(QString::fromLatin1(path.mid(slash + 1))).hasMatch();
}

QByteArray fileText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool sameFrame(const SpoolReader::Frame& a, const SpoolReader::Frame& b) {
    return a.kind == b.kind && a.end == b.end && a.record.seq == b.record.seq &&
           a.record.record == b.record.record && a.record.target.path == b.record.target.path &&
           a.places == b.places && a.replayedTo == b.replayedTo;
}

// What the intact frames of marks say, reckoned apart from the reader: the latest place of each
// record above the highest confirmation.
bool sameMarks(const SpoolMarks& a, const SpoolMarks& b) {
    if (a.confirmedThrough != b.confirmedThrough || !(a.replayedTo == b.replayedTo) ||
        a.redirect != b.redirect || a.places.size() != b.places.size())
        return false;
    for (auto it = a.places.cbegin(); it != a.places.cend(); ++it) {
        const auto other = b.places.constFind(it.key());
        if (other == b.places.cend() || other->path != it->path ||
            other->place.offset != it->place.offset || other->place.fileId != it->place.fileId)
            return false;
    }
    return true;
}

void checkMarks(QByteArrayView bytes) {
    SpoolMarks expected;
    SpoolReader reader;
    for (const SpoolReader::Frame& frame : reader.read(bytes, true)) {
        if (frame.kind == SpoolReader::Frame::Kind::Confirmed)
            expected.confirmedThrough = std::max(expected.confirmedThrough, frame.confirmedThrough);
        else if (frame.kind == SpoolReader::Frame::Kind::Replayed)
            expected.replayedTo = std::max(expected.replayedTo, frame.replayedTo);
        else if (frame.kind == SpoolReader::Frame::Kind::Redirect)
            expected.redirect = frame.path;
        else if (frame.kind == SpoolReader::Frame::Kind::Places)
            for (const SeqPlace& p : frame.places)
                expected.places.insert(p.seq, {frame.path, {p.offset, frame.fileId}});
    }
    expected.places.removeIf([&](const auto& it) { return it.key() <= expected.confirmedThrough; });
    const SpoolMarks whole = SpoolFormat::readMarks(bytes);
    if (whole.places.size() > expected.places.size())
        fail("marks keep more places than records left unconfirmed");
    if (!sameMarks(whole, expected))
        fail("marks read wrong");
    SpoolMarksReader pieces;
    for (qsizetype at = 0, step = 1; at < bytes.size(); at += step, step = step * 5 % 67 + 1)
        pieces.read(bytes.sliced(at, std::min(step, bytes.size() - at)), at + step >= bytes.size());
    if (bytes.isEmpty())
        pieces.read({}, true);
    if (!sameMarks(pieces.take(), expected))
        fail("marks read differently in pieces");
}

void readRaw(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    SpoolReader whole;
    const QList<SpoolReader::Frame> frames = whole.read(bytes, true);
    SpoolReader pieces;
    QList<SpoolReader::Frame> again;
    for (qsizetype at = 0, step = 1; at < bytes.size(); at += step, step = step * 3 % 61 + 1)
        again += pieces.read(QByteArrayView(bytes).sliced(at, std::min(step, bytes.size() - at)),
                             at + step >= bytes.size());
    if (frames.size() != again.size() || (whole.damaged() > 0) != (pieces.damaged() > 0))
        fail("pieces read differently");
    for (qsizetype i = 0; i < frames.size(); ++i) {
        if (!sameFrame(frames[i], again[i]))
            fail("a frame read differently in pieces");
        if (SpoolFormat::mayBeWritten(frames[i].record) && !goodTarget(frames[i].record))
            fail("writable to a bad target", frames[i].record.target.path);
    }
    checkMarks(bytes);
}

// Marks as a run writes them, from the input: places of its records, logged again at other
// places, confirmations, a replay's progress and a redirect; then damaged and cut short.
void builtMarks(const uint8_t* data, size_t size, const QByteArray& folder) {
    QByteArray marks;
    QList<qsizetype> starts;
    for (size_t at = 1; at + 3 <= size; at += 3) {
        const uint8_t what = data[at];
        const uint8_t a = data[at + 1];
        const uint8_t b = data[at + 2];
        starts << marks.size();
        switch (what % 8) {
        case 0:
        case 1:
        case 2:
        case 3: {
            QList<SeqPlace> places;
            for (int i = 0; i < a % 40; ++i)
                places.append({static_cast<quint64>(b + i), qint64(what) * 100 + qint64(i) * 20});
            const QByteArray name = (what & 8) ? "/20261207.txt" : "/20261208.txt";
            marks += SpoolFormat::placesFrame(folder + name, a, places);
            break;
        }
        case 4:
        case 5:
            marks += SpoolFormat::confirmedFrame(a + (b % 4) * 256);
            break;
        case 6:
            marks += SpoolFormat::replayedFrame({a % 4, b});
            break;
        default:
            marks += SpoolFormat::redirectFrame(folder + '/' + QByteArray::number(a));
            break;
        }
    }
    if (marks.isEmpty())
        return;
    // Damage at the starts of some frames, then a cut anywhere.
    for (size_t at = 1; at + 3 <= size; at += 3)
        if (data[at + 2] % 5 == 0) {
            const qsizetype frame = starts[static_cast<qsizetype>(at / 3)];
            const qsizetype hit = frame + data[at + 1] % 24;
            if (hit < marks.size())
                marks[hit] = static_cast<char>(marks[hit] ^ (1 + data[at] % 255));
        }
    if (data[size - 1] & 1)
        marks.chop(std::min<qsizetype>(marks.size(), data[size - 1] % 40));
    checkMarks(marks);
}

QString scratch() {
    const QString base =
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    return base + QStringLiteral("/tessaline-fuzz-spool-%1").arg(::getpid());
}

// One frame of a built spool: a record, or the row of the record just before it in a run with
// a spreadsheet copy; its frame perhaps damaged, its line perhaps written by the run already.
struct Entry {
    PendingRecord r;
    bool damaged = false;
    uint8_t damage = 0;      // the input's byte: where and how, when damaged
    qsizetype recordAt = -1; // a row's record, among the entries
    bool good = false;       // an intact frame whose target is ours
    bool written = false;    // by the run, before it ended: in its file before the adoption
};

// The system's calls, each append noted with its file, in order.
class NotingCalls final : public FileCalls {
public:
    QList<std::pair<QByteArray, QByteArray>> appends;
    int openForAppend(const QByteArray& path, int& error) override {
        const int fd = FileCalls::openForAppend(path, error);
        const std::lock_guard lock(m_mutex);
        if (fd >= 0)
            m_paths.insert(fd, path);
        return fd;
    }
    int appendWhole(int fd, const QByteArray& bytes) override {
        {
            const std::lock_guard lock(m_mutex);
            appends.append({m_paths.value(fd), bytes});
        }
        return FileCalls::appendWhole(fd, bytes);
    }
    int closeFile(int fd) override {
        {
            const std::lock_guard lock(m_mutex);
            m_paths.remove(fd);
        }
        return FileCalls::closeFile(fd);
    }

private:
    std::mutex m_mutex;
    QHash<int, QByteArray> m_paths;
};

// The entries from the input, three bytes each (its length, its target, its damage) and then its
// text; with the copy on, each record followed by its row.
QList<Entry> entriesOf(const uint8_t* data, size_t size, const QByteArray& folder,
                       const std::optional<CsvLayout>& copy) {
    const QByteArray header = " Recive Data ,26/12/07,10:00:00,\r\n";
    QList<Entry> entries;
    qsizetype records = 0;
    for (size_t at = 1; at + 3 <= size && records < 64; ++records) {
        const uint8_t length = data[at] % 24;
        const uint8_t target = data[at + 1];
        const uint8_t damage = data[at + 2];
        at += 3;
        Entry e;
        e.r.seq = static_cast<quint64>(entries.size() + 1);
        for (; at < size && e.r.record.size() < length; ++at)
            e.r.record += static_cast<char>(32 + data[at] % 90); // printable, no "TSR2" inside
        e.r.record.replace("TSR2", "tsr2");
        const QByteArray name = (target & 1) ? "20261207.txt" : "20261208_09.txt";
        switch (target >> 5) {
        case 5:
            e.r.target = {folder + "/notes.txt", folder, header};
            break;
        case 6:
            e.r.target = {folder + "/sub/" + name, folder, header};
            break;
        case 7:
            e.r.target = {folder + "/../" + name, folder + "/..", header};
            break;
        default:
            e.r.target = {folder + '/' + name, folder, header};
            break;
        }
        e.damage = damage;
        e.damaged = damage % 7 == 0;
        entries << e;
        if (!copy)
            continue;
        Entry row;
        row.r.seq = e.r.seq + 1;
        row.r.target = csvTargetOf(e.r.target, *copy);
        row.r.record =
            csvRow(*copy, {2026, 12, 7, 10, 0, target % 60, damage * 3 % 1000}, e.r.record);
        row.damage = static_cast<uint8_t>(damage * 7);
        row.damaged = damage % 11 == 5;
        row.recordAt = entries.size() - 1;
        entries << row;
    }
    for (Entry& e : entries)
        e.good = !e.damaged && goodTarget(e.r);
    return entries;
}

// What a run that ended had written when it ended, drawn from the input: its first records,
// and of them the first rows; the last line of a file perhaps cut short or zeros (not a
// record's whose row followed it); its first lines on the medium, confirmed. Writes the files
// and the marks (a place for each line written, and perhaps for the next of a file, whose write
// never began); returns the confirmation.
quint64 endedRun(QList<Entry>& entries, const uint8_t* data, size_t size,
                 const QString& marksPath) {
    quint32 hash = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    std::minstd_rand rng(hash % 2147483646u + 1);
    const auto pick = [&rng](qsizetype n) {
        return static_cast<qsizetype>(rng() % static_cast<quint64>(n));
    };
    const qsizetype records = pick(entries.size() + 1);
    const qsizetype rows = pick(records + 1);
    QMap<QByteArray, QByteArray> files;
    QMap<QByteArray, qsizetype> last; // the last entry written, by file
    QMap<QByteArray, QList<SeqPlace>> places;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        Entry& e = entries[i];
        if (!goodTarget(e.r) || i >= (e.recordAt >= 0 ? rows : records))
            continue;
        QByteArray& file = files[e.r.target.path];
        if (file.isEmpty())
            file = e.r.target.header;
        places[e.r.target.path].append({e.r.seq, file.size()});
        file += e.r.record + "\r\n";
        e.written = true;
        last[e.r.target.path] = i;
    }
    const QMap<QByteArray, QByteArray> whole = files;
    qsizetype confirmed = pick(rows + 1);
    for (auto it = last.cbegin(); it != last.cend(); ++it) {
        const qsizetype i = it.value();
        Entry& e = entries[i];
        const bool rowWritten =
            i + 1 < entries.size() && entries[i + 1].recordAt == i && entries[i + 1].written;
        const qsizetype way = pick(3);
        if (e.damaged || rowWritten || way == 0)
            continue;
        QByteArray& file = files[it.key()];
        const qsizetype line = e.r.record.size() + 2;
        if (way == 1)
            file.chop(1 + pick(line - 1));
        else
            file.replace(file.size() - line, line, QByteArray(line, '\0'));
        confirmed = std::min(confirmed, i);
    }
    // A row is placed only once its record is in its file.
    QSet<QByteArray> seen;
    for (const Entry& e : std::as_const(entries)) {
        const QByteArray& path = e.r.target.path;
        if (e.written || !goodTarget(e.r) || seen.contains(path))
            continue;
        seen.insert(path);
        if (pick(2) == 0 && (e.recordAt < 0 || entries[e.recordAt].written))
            places[path].append(
                {e.r.seq, whole.contains(path) ? whole[path].size() : e.r.target.header.size()});
    }
    QByteArray marks;
    for (auto it = places.cbegin(); it != places.cend(); ++it) {
        const auto with = std::find_if(entries.cbegin(), entries.cend(),
                                       [&](const Entry& e) { return e.r.target.path == it.key(); });
        marks += SpoolFormat::placesFrame(it.key(), fileIdOf(with->r.target.header), it.value());
    }
    const quint64 through = confirmed > 0 ? entries[confirmed - 1].r.seq : 0;
    if (through > 0)
        marks += SpoolFormat::confirmedFrame(through);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QFile file(QFile::decodeName(it.key()));
        if (!file.open(QIODevice::WriteOnly) || file.write(it.value()) != it.value().size())
            fail("cannot write a data file", it.key());
    }
    QFile file(marksPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(marks) != marks.size())
        fail("cannot write the marks");
    return through;
}

// A row a copy must or may hold after the adoption, and the line of the data file its record
// is on (its header line 0).
struct ExpectedRow {
    QByteArray text;
    bool optional = false;
    qsizetype recordLine = 0;
};

// The records the rows in `text` copy, by their lines in the data file: the copy is its header
// and each row it must hold, in order, with or without each row it may hold.
QList<qsizetype> rowsAsExpected(const QByteArray& text, const QByteArray& header,
                                const QList<ExpectedRow>& expected, const QByteArray& path) {
    if (!text.startsWith(header) || !text.endsWith("\r\n"))
        fail("a copy without its header, or cut short", path);
    QList<QByteArray> rows = text.sliced(header.size()).split('\n');
    rows.removeLast();
    for (QByteArray& row : rows)
        row.chop(1);
    // fits[i][j]: the rows from j on are the expected from i on.
    const qsizetype n = expected.size();
    const qsizetype m = rows.size();
    QList<QList<bool>> fits(n + 1, QList<bool>(m + 1, false));
    fits[n][m] = true;
    for (qsizetype i = n - 1; i >= 0; --i)
        for (qsizetype j = m; j >= 0; --j)
            fits[i][j] = (expected[i].optional && fits[i + 1][j]) ||
                         (j < m && rows[j] == expected[i].text && fits[i + 1][j + 1]);
    if (!fits[0][0])
        fail("a copy differs", path);
    QList<qsizetype> recordLines;
    for (qsizetype i = 0, j = 0; i < n; ++i) {
        if (j < m && rows[j] == expected[i].text && fits[i + 1][j + 1]) {
            recordLines << expected[i].recordLine;
            ++j;
        }
    }
    return recordLines;
}

// Each row appended after its record: whenever a row's line ends in a copy, the record it
// copies has ended in the data file beside it. `before` is what the files held before the
// adoption, `recordLines` the line of each copy's rows' records.
void rowsAfterTheirRecords(const QList<std::pair<QByteArray, QByteArray>>& appends,
                           const QMap<QByteArray, QByteArray>& before,
                           const QHash<QByteArray, QList<qsizetype>>& recordLines) {
    QHash<QByteArray, qsizetype> lines; // ended in each file so far, its header among them
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        lines[it.key()] = it.value().count('\n');
    for (const auto& [path, bytes] : appends) {
        qsizetype& ended = lines[path];
        for (const char c : bytes) {
            if (c != '\n')
                continue;
            const QList<qsizetype>& rows = recordLines.value(path);
            if (isCsvPath(path) && ended > 0 && ended <= rows.size() &&
                lines.value(dataPathOfCsv(path)) <= rows[ended - 1])
                fail("a row before its record", path);
            ++ended;
        }
    }
}

// The adoption's threads are detached. An input ends only once they are gone: between inputs
// the leak check would otherwise meet a thread halfway through freeing its Qt data.
qsizetype threadsRunning() {
    return QDir(QStringLiteral("/proc/self/task"))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
        .size();
}

// A spool built from the input: records, some with targets that are not ours, some frames
// damaged, and with the copy on the rows of each record's spreadsheet copy; read back, then
// adopted as an earlier run's, perhaps after that run wrote some of them.
void built(const uint8_t* data, size_t size) {
    const QString root = scratch();
    QDir(root).removeRecursively();
    const QString dataFolder = root + QStringLiteral("/data");
    const QString state = root + QStringLiteral("/state");
    QDir().mkpath(dataFolder);
    QDir().mkpath(state);
    const QByteArray folder = QFile::encodeName(dataFolder);
    std::optional<CsvLayout> copy;
    if (data[0] & 4)
        copy = CsvLayout{1 + (data[0] >> 3) % CsvLayout::kMostNumbers, (data[0] & 64) != 0};
    QList<Entry> entries = entriesOf(data, size, folder, copy);
    builtMarks(data, size, folder);
    if (entries.isEmpty())
        return;
    QByteArray spool;
    for (const Entry& e : std::as_const(entries)) {
        QByteArray frame = SpoolFormat::recordFrame(e.r);
        if (e.damaged)
            frame[e.damage % frame.size()] =
                static_cast<char>(frame[e.damage % frame.size()] ^ (1 + e.damage % 255));
        spool += frame;
    }

    // Read back: every intact frame, in order.
    SpoolReader reader;
    const QList<SpoolReader::Frame> frames = reader.read(spool, true);
    qsizetype next = 0;
    for (const Entry& e : std::as_const(entries)) {
        if (e.damaged)
            continue;
        while (next < frames.size() && frames[next].record.seq != e.r.seq)
            ++next;
        if (next == frames.size() || frames[next].record.record != e.r.record)
            fail("an intact frame was not read back", e.r.record);
    }

    // Adopted: what is good lands once, the rest nowhere, and a row only after its record. A
    // thread and files each time: every other built spool only, so reading gets the most inputs.
    if ((data[0] & 2) == 0)
        return;
    const QString name = QStringLiteral("unwritten-records-20261207-100000-1");
    QFile file(QDir(state).filePath(Spool::segmentName(name, 1)));
    if (!file.open(QIODevice::WriteOnly) || file.write(spool) != spool.size())
        fail("cannot write the spool");
    file.close();
    const quint64 confirmed =
        (data[0] & 128) ? endedRun(entries, data, size, QDir(state).filePath(name + ".marks")) : 0;
    QMap<QByteArray, QByteArray> before;
    for (const QString& written : QDir(dataFolder).entryList(QDir::Files))
        before.insert(QFile::encodeName(QDir(dataFolder).filePath(written)),
                      fileText(QDir(dataFolder).filePath(written)));
    NotingCalls calls;
    const qsizetype threadsBefore = threadsRunning();
    {
        // Done when the spool is gone or kept aside; the end waits for the pass.
        Leftovers leftovers(state, calls, [] {});
        leftovers.adopt();
        for (int i = 0; i < 5000 && QFile::exists(file.fileName()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int i = 0; i < 5000 && threadsRunning() > threadsBefore; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (threadsRunning() > threadsBefore)
        fail("the adoption's threads outlived their Leftovers by 5 s");
    // What the files must hold: the lines the run wrote (completed where it left them cut short
    // or zeros), then what is good and not confirmed; a row only with its record in its file.
    // Where the record's frame is damaged the replay cannot know it is there: its row may be
    // missing then.
    QMap<QByteArray, QByteArray> expected;
    QMap<QByteArray, QList<ExpectedRow>> expectedRows;
    QHash<qsizetype, qsizetype> lineOf; // each record's line in its file, the header's 0
    bool bad = false;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        const bool replayed = e.r.seq > confirmed;
        bad = bad || e.damaged || (replayed && !goodTarget(e.r));
        if (e.recordAt >= 0) {
            if (!lineOf.contains(e.recordAt))
                continue;
            const bool sure = e.written || (e.good && replayed && !entries[e.recordAt].damaged);
            if (sure || (e.good && replayed))
                expectedRows[e.r.target.path].append({e.r.record, !sure, lineOf.value(e.recordAt)});
            continue;
        }
        if (!e.written && !(e.good && replayed))
            continue;
        QByteArray& content = expected[e.r.target.path];
        if (content.isEmpty())
            content = e.r.target.header;
        content += e.r.record + "\r\n";
        lineOf.insert(i, content.count('\n') - 1);
    }
    QHash<QByteArray, QList<qsizetype>> recordLines;
    for (auto it = expectedRows.cbegin(); it != expectedRows.cend(); ++it) {
        const bool must = std::any_of(it->cbegin(), it->cend(),
                                      [](const ExpectedRow& row) { return !row.optional; });
        const QString path = QFile::decodeName(it.key());
        if (must || QFile::exists(path))
            recordLines.insert(
                it.key(), rowsAsExpected(fileText(path), csvHeader(*copy), it.value(), it.key()));
    }
    const QStringList names =
        QDir(dataFolder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    if (QDir(root).entryList(QDir::Files).size() != 0 ||
        names.size() != expected.size() + recordLines.size())
        fail("files written where they must not be", names.join(u',').toUtf8());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        if (fileText(QFile::decodeName(it.key())) != it.value())
            fail("a data file differs", it.key());
    rowsAfterTheirRecords(calls.appends, before, recordLines);
    const bool keptAside = QFile::exists(file.fileName() + QStringLiteral(".damaged"));
    if (QFile::exists(file.fileName()) || keptAside != bad)
        fail(bad ? "a spool with bad frames was not kept aside" : "a good spool was kept");
}

} // namespace

// Input: the first byte chooses raw bytes (even) or a built spool (odd), adopted too when its
// bit 1 is set; a built spool takes three bytes a record (its length, its target, its damage)
// and then its text. Bit 2 of the first byte turns the spreadsheet copy on, with bits 3 to 5
// its values a row less one and bit 6 its decimal comma; bit 7 has the run write some of them
// before it ended.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    static int argc = 1;
    static char name[] = "fuzz_spool";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    // What the last input left goes once all have passed; after a failure it stays to be read.
    static const struct Tidy {
        ~Tidy() { QDir(scratch()).removeRecursively(); }
    } tidy;
    if (data[0] % 2 == 0)
        readRaw(data + 1, size - 1);
    else
        built(data, size);
    return 0;
}
