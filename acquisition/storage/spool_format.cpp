// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/spool_format.h"

#include "acquisition/platform/platform_files.h"
#include "acquisition/storage/crc32c.h"
#include "acquisition/storage/spreadsheet_copy.h"

#include <QtEndian>
#include <array>

namespace {

constexpr char kMagic[] = "TSR2";
constexpr qsizetype kMagicSize = 4;
constexpr qsizetype kFrameOverhead = kMagicSize + 4 + 4; // magic, length, CRC
constexpr quint8 kWrite = 1;

enum Kind : quint8 { kRecord = 1, kPlaces = 2, kReplayed = 3, kConfirmed = 4, kRedirect = 5 };

class Writer {
public:
    explicit Writer(quint8 kind) { m_body.append(static_cast<char>(kind)); }
    Writer& u8(quint8 v) {
        m_body.append(static_cast<char>(v));
        return *this;
    }
    Writer& u32(quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        m_body.append(b, 4);
        return *this;
    }
    Writer& u64(quint64 v) {
        char b[8];
        qToLittleEndian(v, b);
        m_body.append(b, 8);
        return *this;
    }
    Writer& bytes(const QByteArray& v) {
        u32(static_cast<quint32>(v.size()));
        m_body += v;
        return *this;
    }
    QByteArray toFrame() const {
        QByteArray out(kMagic, kMagicSize);
        char b[4];
        qToLittleEndian(static_cast<quint32>(m_body.size()), b);
        out.append(b, 4);
        out += m_body;
        qToLittleEndian(crc32c(QByteArrayView(out).sliced(kMagicSize)), b);
        out.append(b, 4);
        return out;
    }

private:
    QByteArray m_body;
};

// Reads a body's fields in order; a read past its end leaves it !ok.
class Fields {
public:
    explicit Fields(QByteArrayView body) : m_body(body) {}
    bool ok() const { return m_ok; }
    bool done() const { return m_ok && m_at == m_body.size(); }
    quint8 u8() { return has(1) ? static_cast<quint8>(m_body[m_at++]) : 0; }
    quint32 u32() { return take<quint32>(); }
    quint64 u64() { return take<quint64>(); }
    QByteArray bytes() {
        const auto n = static_cast<qsizetype>(u32());
        if (!has(n))
            return {};
        m_at += n;
        return m_body.sliced(m_at - n, n).toByteArray();
    }

private:
    bool has(qsizetype n) {
        m_ok = m_ok && n >= 0 && n <= m_body.size() - m_at;
        return m_ok;
    }
    template <typename T> T take() {
        if (!has(sizeof(T)))
            return 0;
        m_at += sizeof(T);
        return qFromLittleEndian<T>(m_body.data() + m_at - sizeof(T));
    }
    QByteArrayView m_body;
    qsizetype m_at = 0;
    bool m_ok = true;
};

bool decode(QByteArrayView body, SpoolReader::Frame& frame) {
    Fields in(body);
    switch (in.u8()) {
    case kRecord: {
        frame.kind = SpoolReader::Frame::Kind::Record;
        PendingRecord& r = frame.record;
        r.write = (in.u8() & kWrite) != 0;
        r.seq = in.u64();
        r.stampMs = static_cast<qint64>(in.u64());
        r.place.offset = static_cast<qint64>(in.u64());
        r.place.fileId = in.u32();
        r.target.path = in.bytes();
        r.target.folder = in.bytes();
        r.target.header = in.bytes();
        r.record = in.bytes();
        r.spooled = true;
        return in.done() && r.place.offset >= -1;
    }
    case kPlaces: {
        frame.kind = SpoolReader::Frame::Kind::Places;
        frame.fileId = in.u32();
        frame.path = in.bytes();
        const quint32 count = in.u32();
        if (!in.ok() || count > body.size() / 16)
            return false;
        for (quint32 i = 0; i < count; ++i) {
            const quint64 seq = in.u64();
            frame.places.append({seq, static_cast<qint64>(in.u64())});
        }
        return in.done();
    }
    case kReplayed:
        frame.kind = SpoolReader::Frame::Kind::Replayed;
        frame.replayedTo.segment = static_cast<int>(in.u32());
        frame.replayedTo.offset = static_cast<qint64>(in.u64());
        return in.done() && frame.replayedTo.segment >= 0 && frame.replayedTo.offset >= 0;
    case kConfirmed:
        frame.kind = SpoolReader::Frame::Kind::Confirmed;
        frame.confirmedThrough = in.u64();
        return in.done();
    case kRedirect:
        frame.kind = SpoolReader::Frame::Kind::Redirect;
        frame.path = in.bytes();
        return in.done();
    default:
        return false;
    }
}

// YYYYMMDD.txt or YYYYMMDD_hh.txt, or their spreadsheet copies (.csv).
bool isDataFileName(QByteArrayView name) {
    const auto digits = [&](qsizetype from, qsizetype count) {
        for (qsizetype i = from; i < from + count; ++i)
            if (name[i] < '0' || name[i] > '9')
                return false;
        return true;
    };
    const auto suffix = [](QByteArrayView s) { return s == ".txt" || s == ".csv"; };
    if (name.size() == 12)
        return digits(0, 8) && suffix(name.sliced(8));
    return name.size() == 15 && digits(0, 8) && name[8] == '_' && digits(9, 2) &&
           suffix(name.sliced(11));
}

} // namespace

QByteArray SpoolFormat::recordFrame(const PendingRecord& r) {
    return Writer(kRecord)
        .u8(r.write ? kWrite : 0)
        .u64(r.seq)
        .u64(static_cast<quint64>(r.stampMs))
        .u64(static_cast<quint64>(r.place.offset))
        .u32(r.place.fileId)
        .bytes(r.target.path)
        .bytes(r.target.folder)
        .bytes(r.target.header)
        .bytes(r.record)
        .toFrame();
}

QByteArray SpoolFormat::placesFrame(const QByteArray& path, quint32 fileId,
                                    const QList<SeqPlace>& places) {
    Writer out(kPlaces);
    out.u32(fileId).bytes(path).u32(static_cast<quint32>(places.size()));
    for (const SeqPlace& p : places)
        out.u64(p.seq).u64(static_cast<quint64>(p.offset));
    return out.toFrame();
}

QByteArray SpoolFormat::replayedFrame(SpoolPosition to) {
    return Writer(kReplayed)
        .u32(static_cast<quint32>(to.segment))
        .u64(static_cast<quint64>(to.offset))
        .toFrame();
}

QByteArray SpoolFormat::confirmedFrame(quint64 through) {
    return Writer(kConfirmed).u64(through).toFrame();
}

QByteArray SpoolFormat::redirectFrame(const QByteArray& folder) {
    return Writer(kRedirect).bytes(folder).toFrame();
}

SpoolMarks SpoolFormat::readMarks(QByteArrayView bytes) {
    SpoolMarksReader reader;
    reader.read(bytes, true);
    return reader.take();
}

bool SpoolFormat::mayBeWritten(const PendingRecord& r) {
    const QByteArray& folder = r.target.folder;
    const QByteArray& path = r.target.path;
    if (!r.write || !isAbsoluteFolder(folder) || folder.contains('\0') ||
        folder.split('/').contains(".."))
        return false;
    if (!path.startsWith(folder) || path.size() <= folder.size() || path[folder.size()] != '/' ||
        !isDataFileName(QByteArrayView(path).sliced(folder.size() + 1)))
        return false;
    const QByteArray& header = r.target.header;
    if (!header.startsWith(isCsvPath(path) ? "\xEF\xBB\xBF"
                                             "date"
                                           : " Recive Data ,") ||
        !header.endsWith("\r\n") || header.count('\n') != 1 || header.count('\r') != 1)
        return false;
    for (const char c : r.record)
        if (static_cast<quint8>(c) <= 15)
            return false;
    return true;
}

void SpoolReader::restartAt(qint64 offset) {
    m_buffer.clear();
    m_base = offset;
    m_inDamage = false;
}

QList<SpoolReader::Frame> SpoolReader::read(QByteArrayView more, bool atEnd) {
    m_buffer += more;
    QList<Frame> frames;
    qsizetype at = 0;
    while (at < m_buffer.size()) {
        Frame frame;
        qsizetype size = 0;
        if (frameAt(at, frame, size)) {
            frame.end = m_base + at + size;
            frames.append(std::move(frame));
            at += size;
            m_inDamage = false;
        } else if (size == 0 && !atEnd) {
            break; // cut short: the rest of it comes with the next piece
        } else {
            skipDamage(at, atEnd);
        }
    }
    m_buffer.remove(0, at);
    m_base += at;
    return frames;
}

bool SpoolReader::frameAt(qsizetype at, Frame& frame, qsizetype& size) const {
    // size stays 0 for a frame cut short, and is set for one that is damaged.
    const QByteArrayView rest = QByteArrayView(m_buffer).sliced(at);
    const QByteArrayView magic(kMagic, kMagicSize);
    if (rest.size() < kMagicSize) {
        size = magic.startsWith(rest) ? 0 : 1;
        return false;
    }
    if (!rest.startsWith(magic)) {
        size = 1;
        return false;
    }
    if (rest.size() < kMagicSize + 4)
        return false;
    const auto body = static_cast<qsizetype>(qFromLittleEndian<quint32>(rest.data() + kMagicSize));
    if (body < 1 || body > SpoolFormat::kMaxBody) {
        size = 1;
        return false;
    }
    if (rest.size() < kFrameOverhead + body)
        return false;
    size = kFrameOverhead + body;
    const quint32 sum = qFromLittleEndian<quint32>(rest.data() + kMagicSize + 4 + body);
    if (sum != crc32c(rest.sliced(kMagicSize, 4 + body)))
        return false;
    return decode(rest.sliced(kMagicSize + 4, body), frame);
}

void SpoolReader::skipDamage(qsizetype& at, bool atEnd) {
    const qsizetype next = m_buffer.indexOf(QByteArrayView(kMagic, kMagicSize), at + 1);
    if (next >= 0) {
        if (!std::exchange(m_inDamage, true))
            ++m_damaged;
        at = next;
        return;
    }
    // No intact frame follows in what we have. At the end, a frame cut short is a torn last
    // append, which a crash leaves; any other bytes there are damage.
    Frame frame;
    qsizetype size = 0;
    const bool torn = atEnd && !frameAt(at, frame, size) && size == 0;
    if (!torn && !std::exchange(m_inDamage, true))
        ++m_damaged;
    // A magic may begin in the last bytes and end in the next piece.
    at = atEnd ? m_buffer.size() : std::max(at + 1, m_buffer.size() - (kMagicSize - 1));
}

void SpoolMarksReader::read(QByteArrayView more, bool atEnd) {
    for (SpoolReader::Frame& frame : m_reader.read(more, atEnd)) {
        switch (frame.kind) {
        case SpoolReader::Frame::Kind::Redirect:
            m_marks.redirect = std::move(frame.path);
            break;
        case SpoolReader::Frame::Kind::Replayed:
            m_marks.replayedTo = std::max(m_marks.replayedTo, frame.replayedTo);
            break;
        case SpoolReader::Frame::Kind::Confirmed:
            if (frame.confirmedThrough > m_marks.confirmedThrough) {
                m_marks.confirmedThrough = frame.confirmedThrough;
                m_places.erase(m_places.begin(), m_places.upper_bound(frame.confirmedThrough));
            }
            break;
        case SpoolReader::Frame::Kind::Places:
            if (frame.path != m_lastPath)
                m_lastPath = std::move(frame.path);
            for (const SeqPlace& p : std::as_const(frame.places))
                if (p.seq > m_marks.confirmedThrough)
                    m_places.insert_or_assign(
                        p.seq, SpoolMarks::Place{m_lastPath, {p.offset, frame.fileId}});
            break;
        case SpoolReader::Frame::Kind::Record:
            break;
        }
    }
}

SpoolMarks SpoolMarksReader::take() {
    SpoolMarks marks = std::move(m_marks);
    m_marks = {};
    marks.places.reserve(static_cast<qsizetype>(m_places.size()));
    for (const auto& [seq, place] : m_places)
        marks.places.insert(seq, place);
    m_places.clear();
    return marks;
}
