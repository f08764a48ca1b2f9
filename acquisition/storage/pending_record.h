// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>
#include <cstdint>

/// Where a record goes, decided when its line ends: the data file, its folder, and the header
/// line (CR LF ended) the file gets should it be empty when the record reaches it.
struct FileTarget {
    QByteArray path;
    QByteArray folder;
    QByteArray header;
};

/// Where a record's line was put in its data file: the byte it starts at, and which file that
/// was (the CRC-32C of the file's first line; 0 when it could not be read). A record whose
/// write may or may not have landed is judged by this, never by its text: two equal readings
/// are two records.
struct FilePlace {
    qint64 offset = -1; // -1: no write of it was ever begun
    quint32 fileId = 0;
    bool known() const { return offset >= 0; }
};

/// One record on its way to its data file.
struct PendingRecord {
    quint64 seq = 0; // the run's count, in arrival order
    FileTarget target;
    QByteArray record;    // without its CR LF
    bool write = true;    // false: its file is only opened and headed (a run's first record)
    qint64 stampMs = 0;   // when its line arrived, to tell the operator should it be lost
    bool spooled = false; // a copy is in the spool, or on its way there
    FilePlace place;
    qsizetype bytes() const { return target.path.size() + target.header.size() + record.size(); }
};

/// Where one record was about to be written in its file.
struct SeqPlace {
    quint64 seq = 0;
    qint64 offset = 0;
    bool operator==(const SeqPlace&) const = default;
};

/// Called on the storage thread: where records that are in the spool too are about to be written,
/// made durable before the write begins, so that after a crash each of them is judged by its place
/// in its file.
class PlacementLog {
public:
    virtual ~PlacementLog() = default;
    virtual void logPlaces(const QByteArray& path, quint32 fileId,
                           const QList<SeqPlace>& places) = 0;
};

/// A data file whose flush failed and has now worked: its records of that time were written
/// once and not again, but may be missing on the medium.
struct FlushNotice {
    QByteArray path;
    qsizetype records = 0;
    qint64 firstMs = 0;
    qint64 lastMs = 0;
    int32_t error = 0; // of the failed flush
};
