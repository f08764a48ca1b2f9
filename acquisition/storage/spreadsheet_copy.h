// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/core/clock.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/storage/pending_record.h"

#include <QByteArray>
#include <QByteArrayView>

/// The spreadsheet copy of a data file: a CSV beside it (RFC 4180, UTF-8 with a byte-order mark,
/// CR LF), one row per record written there, in the same order. Its rows go the way of records,
/// each right after its record, and are written only once their record is in its file.
struct CsvLayout {
    int numbers = 1;           // of each record, into columns: 1 to 8
    bool decimalComma = false; // ';' between fields and ',' as the decimal mark
    static constexpr int kMostNumbers = kMostCsvNumbers;
};

/// The copy's name beside a data file: "20261209.txt" gives "20261209.csv".
QByteArray csvPathOf(const QByteArray& dataPath);
/// Whether `path` is a spreadsheet copy, whose rows are not records of their own.
bool isCsvPath(QByteArrayView path);
/// The data file a copy is beside.
QByteArray dataPathOfCsv(const QByteArray& csvPath);
/// Whether a record on its way is a row of a copy.
inline bool isCsvRow(const PendingRecord& record) {
    return isCsvPath(record.target.path);
}

/// The copy's target beside a data file's: same folder, its own name and header row.
FileTarget csvTargetOf(const FileTarget& data, const CsvLayout& layout);
/// The byte-order mark and the header row, CR LF ended: date, time, value 1, unit 1, …, record.
QByteArray csvHeader(const CsvLayout& layout);
/// A record's row, without its CR LF: its line end's local date and time (the milliseconds after
/// the dialect's decimal mark, as ISO 8601 allows), the numbers of the instrument's line (from
/// byte `lineFrom` of the record: after the stamp the logger put before it) and their units,
/// and the record's text.
QByteArray csvRow(const CsvLayout& layout, const LocalTime& arrival, const QByteArray& record,
                  qsizetype lineFrom = 0);
/// A number as read from a record ("-0012.345", "1.5e3") as a spreadsheet reads a number in
/// every locale: no sign but a minus, no leading zeros, no exponent, `mark` as decimal mark.
QByteArray plainDecimal(QByteArrayView number, char mark);
