// SPDX-License-Identifier: GPL-3.0-or-later
// The spool's reader and the adoption of what an earlier run left, under arbitrary bytes and
// under valid spools with damaged frames. Raw: whatever the bytes, reading them in pieces of
// any size gives the frames reading them whole gives, and no record is writable unless its
// target is a data file name of ours directly in an absolute folder. Built: every intact frame
// is read back, in order; adopted, every intact record with a good target is in its file once,
// nothing else is written anywhere, and the spool is removed only when nothing in it was bad.
// Marks, raw and built (then damaged and cut short): read whole or in pieces, they keep exactly
// the latest place of each record their intact frames leave unconfirmed, and nothing more.
#include "acquisition/storage/leftovers.h"
#include "acquisition/storage/spool.h"
#include "acquisition/storage/spool_format.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what, const QByteArray& detail = {}) {
    std::fprintf(stderr, "fuzz_spool: %s %s\n", what, detail.toPercentEncoding().constData());
    std::abort();
}

// Said again here in other words, so that a slip in mayBeWritten shows.
bool goodTarget(const PendingRecord& r) {
    static const QRegularExpression name(QStringLiteral("^[0-9]{8}(_[0-9]{2})?\\.txt$"));
    const QByteArray& path = r.target.path;
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = path.left(slash);
    return r.target.folder.startsWith('/') && !r.target.folder.contains("/../") &&
           !r.target.folder.endsWith("/..") &&
           (folder == r.target.folder || folder + '/' == r.target.folder) &&
           name.match(QString::fromLatin1(path.mid(slash + 1))).hasMatch();
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

// A spool built from the input: records, some with targets that are not ours, some frames
// damaged; read back, then adopted as an earlier run's.
void built(const uint8_t* data, size_t size) {
    const QString root = scratch();
    QDir(root).removeRecursively();
    const QString dataFolder = root + QStringLiteral("/data");
    const QString state = root + QStringLiteral("/state");
    QDir().mkpath(dataFolder);
    QDir().mkpath(state);
    const QByteArray folder = QFile::encodeName(dataFolder);
    const QByteArray header = " Recive Data ,26/12/07,10:00:00,\r\n";

    QList<PendingRecord> records;
    QList<bool> damaged;
    QByteArray spool;
    QList<qsizetype> starts;
    size_t at = 1;
    while (at + 3 <= size && records.size() < 64) {
        const uint8_t length = data[at] % 24;
        const uint8_t target = data[at + 1];
        const uint8_t damage = data[at + 2];
        at += 3;
        PendingRecord r;
        r.seq = static_cast<quint64>(records.size() + 1);
        for (; at < size && r.record.size() < length; ++at)
            r.record += static_cast<char>(32 + data[at] % 90); // printable, no "TSR2" inside
        r.record.replace("TSR2", "tsr2");
        const QByteArray name = (target & 1) ? "20261207.txt" : "20261208_09.txt";
        switch (target >> 5) {
        case 5:
            r.target = {folder + "/notes.txt", folder, header};
            break;
        case 6:
            r.target = {folder + "/sub/" + name, folder, header};
            break;
        case 7:
            r.target = {folder + "/../" + name, folder + "/..", header};
            break;
        default:
            r.target = {folder + '/' + name, folder, header};
            break;
        }
        starts << spool.size();
        QByteArray frame = SpoolFormat::recordFrame(r);
        const bool spoil = damage % 7 == 0;
        if (spoil)
            frame[damage % frame.size()] =
                static_cast<char>(frame[damage % frame.size()] ^ (1 + damage % 255));
        spool += frame;
        records << r;
        damaged << spoil;
    }
    builtMarks(data, size, folder);
    if (records.isEmpty())
        return;

    // Read back: every intact frame, in order.
    SpoolReader reader;
    const QList<SpoolReader::Frame> frames = reader.read(spool, true);
    qsizetype next = 0;
    for (qsizetype i = 0; i < records.size(); ++i) {
        if (damaged[i])
            continue;
        while (next < frames.size() && frames[next].record.seq != records[i].seq)
            ++next;
        if (next == frames.size() || frames[next].record.record != records[i].record)
            fail("an intact frame was not read back", records[i].record);
    }

    // Adopted: what is good lands once, the rest nowhere. A thread and files each time: every
    // other built spool only, so reading gets the most inputs.
    if ((data[0] & 2) == 0)
        return;
    const QString name = QStringLiteral("unwritten-records-20261207-100000-1");
    QFile file(QDir(state).filePath(Spool::segmentName(name, 1)));
    if (!file.open(QIODevice::WriteOnly) || file.write(spool) != spool.size())
        fail("cannot write the spool");
    file.close();
    {
        // Done when the spool is gone or kept aside; the end waits for the pass.
        Leftovers leftovers(state, systemFileCalls(), [] {});
        leftovers.adopt();
        for (int i = 0; i < 5000 && QFile::exists(file.fileName()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    QMap<QByteArray, QByteArray> expected;
    bool bad = false;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const bool good = !damaged[i] && goodTarget(records[i]);
        bad = bad || !good;
        if (good) {
            QByteArray& content = expected[records[i].target.path];
            if (content.isEmpty())
                content = header;
            content += records[i].record + "\r\n";
        }
    }
    QStringList names = QDir(dataFolder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    if (QDir(root).entryList(QDir::Files).size() != 0 || names.size() != expected.size())
        fail("files written where they must not be", names.join(u',').toUtf8());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QFile written(QFile::decodeName(it.key()));
        if (!written.open(QIODevice::ReadOnly) || written.readAll() != it.value())
            fail("a data file differs", it.key());
    }
    const bool keptAside = QFile::exists(file.fileName() + QStringLiteral(".damaged"));
    if (QFile::exists(file.fileName()) || keptAside != bad)
        fail(bad ? "a spool with bad frames was not kept aside" : "a good spool was kept");
}

} // namespace

// Input: the first byte chooses raw bytes (even) or a built spool (odd), adopted too when its
// bit 1 is set; a built spool takes three bytes a record (its length, its target, its damage)
// and then its text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    static int argc = 1;
    static char name[] = "fuzz_spool";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    if (data[0] % 2 == 0)
        readRaw(data + 1, size - 1);
    else
        built(data, size);
    return 0;
}
