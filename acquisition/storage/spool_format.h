// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/storage/pending_record.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <map>

// The spool's bytes on the local disk. Every frame is "TSR2", the length of its body, the body
// and a CRC-32C of length and body, so a damaged frame costs itself alone: reading resumes at
// the next intact one. A run's spool is a chain of segment files of record frames, beside a
// marks file of place and progress frames.

/// A point in a run's spool: a segment file and a byte in it.
struct SpoolPosition {
    int segment = 0;
    qint64 offset = 0;
    bool operator==(const SpoolPosition&) const = default;
    bool operator<(const SpoolPosition& other) const {
        return segment != other.segment ? segment < other.segment : offset < other.offset;
    }
    bool operator>=(const SpoolPosition& other) const { return !(*this < other); }
};

/// What a run's marks say: which of its records are on the medium (every one up to a count),
/// where others were about to be written (the latest word on a record counts), and how far a
/// replay of the run has got, every record before that point being in its file, on the medium.
struct SpoolMarks {
    struct Place {
        QByteArray path;
        FilePlace place;
    };
    quint64 confirmedThrough = 0;
    QHash<quint64, Place> places;
    SpoolPosition replayedTo;
    QByteArray redirect; // the folder the operator chose for them instead, if any
};

namespace SpoolFormat {
QByteArray recordFrame(const PendingRecord& record);
QByteArray placesFrame(const QByteArray& path, quint32 fileId, const QList<SeqPlace>& places);
QByteArray replayedFrame(SpoolPosition to);
QByteArray confirmedFrame(quint64 through);
QByteArray redirectFrame(const QByteArray& folder);
/// The marks in a marks file's bytes; damaged frames are passed over.
SpoolMarks readMarks(QByteArrayView bytes);
/// Whether a record read from a spool may be written: its target is a data file name of this
/// program (YYYYMMDD.txt or YYYYMMDD_hh.txt, or its spreadsheet copy's .csv) directly in the
/// folder it names, absolute as this system spells it (isAbsoluteFolder), its header is one header
/// line of its kind, and its record one line without control characters.
bool mayBeWritten(const PendingRecord& record);
// Longest body a frame may claim: a record's line is bounded, and so are paths and headers.
inline constexpr qsizetype kMaxBody = qsizetype(1) << 20;
} // namespace SpoolFormat

/// Reads the frames of one spool file from its bytes, given in pieces of any size, in order.
class SpoolReader {
public:
    struct Frame {
        enum class Kind { Record, Places, Replayed, Confirmed, Redirect } kind = Kind::Record;
        PendingRecord record;         // Record
        QByteArray path;              // Places; Redirect: the folder
        quint32 fileId = 0;           // Places
        QList<SeqPlace> places;       // Places
        SpoolPosition replayedTo;     // Replayed
        quint64 confirmedThrough = 0; // Confirmed
        qint64 end = 0;               // where in the file the frame ends
    };

    /// The frames that end within the bytes given so far and `more`. With `atEnd` no bytes
    /// follow: a frame cut short there is a torn last append (a crash), not damage.
    QList<Frame> read(QByteArrayView more, bool atEnd);
    /// Stretches of bytes passed over because they held no intact frame.
    int damaged() const { return m_damaged; }
    /// Where in the file the bytes not yet read as frames begin.
    qint64 consumed() const { return m_base; }
    /// Reads from `offset` on: the bytes given next start there.
    void restartAt(qint64 offset);

private:
    bool frameAt(qsizetype at, Frame& frame, qsizetype& size) const;
    void skipDamage(qsizetype& at, bool atEnd);

    QByteArray m_buffer;
    qint64 m_base = 0; // file offset of m_buffer's first byte
    int m_damaged = 0;
    bool m_inDamage = false; // the bytes before m_buffer were damage, counted already
};

/// Reads a marks file's bytes, given in pieces of any size, in order, into what they say. Places
/// of records the marks read so far call on the medium are dropped as it goes, so what it holds
/// is bounded by the records not confirmed, not by the file's size.
class SpoolMarksReader {
public:
    void read(QByteArrayView more, bool atEnd);
    /// What the bytes read say; the reader is left empty.
    SpoolMarks take();
    /// Stretches of bytes passed over because they held no intact frame.
    int damaged() const { return m_reader.damaged(); }

private:
    SpoolReader m_reader;
    SpoolMarks m_marks;                            // without its places, kept here till take()
    std::map<quint64, SpoolMarks::Place> m_places; // by seq, so the confirmed go at once
    QByteArray m_lastPath; // shared by the places of frames that name one file
};
