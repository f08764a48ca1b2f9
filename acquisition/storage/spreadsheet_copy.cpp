// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/spreadsheet_copy.h"

#include "acquisition/core/reading_number.h"

#include <QString>
#include <algorithm>

namespace {

const QByteArray kDataSuffix = QByteArrayLiteral(".txt");
const QByteArray kCsvSuffix = QByteArrayLiteral(".csv");
// An exponent beyond any a double takes would only make a longer row of zeros.
constexpr int kMostExponent = 400;

char separatorOf(const CsvLayout& layout) {
    return layout.decimalComma ? ';' : ',';
}

void appendTwoDigits(QByteArray& out, int value) {
    out += char('0' + value / 10 % 10);
    out += char('0' + value % 10);
}

// RFC 4180: a field with the separator, a quote or a line break is quoted, its quotes doubled.
void appendField(QByteArray& out, QByteArrayView field, char separator, bool alwaysQuoted) {
    const bool quoted = alwaysQuoted || field.contains(separator) || field.contains('"') ||
                        field.contains('\r') || field.contains('\n');
    if (!quoted) {
        out += field;
        return;
    }
    out += '"';
    for (const char c : field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

// Bytes as the operator reads them (UTF-8 when they are, Latin-1 when not), in UTF-8.
QByteArray utf8Of(QByteArrayView bytes, bool utf8) {
    if (!utf8)
        return QString::fromLatin1(bytes).toUtf8();
    QByteArray text = bytes.toByteArray();
    // A unit cut at its longest may end within a character.
    while (!text.isValidUtf8())
        text.chop(1);
    return text;
}

} // namespace

QByteArray csvPathOf(const QByteArray& dataPath) {
    if (dataPath.endsWith(kDataSuffix))
        return dataPath.first(dataPath.size() - kDataSuffix.size()) + kCsvSuffix;
    return dataPath + kCsvSuffix;
}

bool isCsvPath(QByteArrayView path) {
    return path.endsWith(kCsvSuffix);
}

QByteArray dataPathOfCsv(const QByteArray& csvPath) {
    return csvPath.first(csvPath.size() - kCsvSuffix.size()) + kDataSuffix;
}

FileTarget csvTargetOf(const FileTarget& data, const CsvLayout& layout) {
    return {csvPathOf(data.path), data.folder, csvHeader(layout)};
}

QByteArray csvHeader(const CsvLayout& layout) {
    const char separator = separatorOf(layout);
    QByteArray header = "\xEF\xBB\xBF"
                        "date";
    header += separator;
    header += "time";
    for (int i = 1; i <= layout.numbers; ++i) {
        header += separator + QByteArray("value ") + QByteArray::number(i);
        header += separator + QByteArray("unit ") + QByteArray::number(i);
    }
    header += separator;
    header += "record\r\n";
    return header;
}

QByteArray plainDecimal(QByteArrayView number, char mark) {
    qsizetype i = 0;
    const bool negative = !number.isEmpty() && number[0] == '-';
    if (negative || (!number.isEmpty() && number[0] == '+'))
        ++i;
    QByteArray digits;
    qsizetype point = -1;
    for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
        if (number[i] == '.' || number[i] == ',')
            point = digits.size();
        else
            digits += number[i];
    }
    if (point < 0)
        point = digits.size();
    const qsizetype fractionDigits = digits.size() - point;
    if (i < number.size()) {
        const int exponent = number.sliced(i + 1).toByteArray().toInt();
        point += std::clamp(exponent, -kMostExponent, kMostExponent);
    }
    QByteArray whole;
    QByteArray fraction;
    if (point <= 0) {
        fraction = QByteArray(-point, '0') + digits;
    } else if (point >= digits.size()) {
        whole = digits + QByteArray(point - digits.size(), '0');
    } else {
        whole = digits.first(point);
        fraction = digits.sliced(point);
    }
    // An exponent's shift leaves zeros the instrument never printed.
    if (i < number.size())
        while (fraction.size() > std::max<qsizetype>(fractionDigits, 0) && fraction.endsWith('0'))
            fraction.chop(1);
    qsizetype lead = 0;
    while (lead + 1 < whole.size() && whole[lead] == '0')
        ++lead;
    whole = whole.isEmpty() ? QByteArray("0") : whole.sliced(lead);
    QByteArray out = negative ? "-" : "";
    out += whole;
    if (!fraction.isEmpty()) {
        out += mark;
        out += fraction;
    }
    return out;
}

QByteArray csvRow(const CsvLayout& layout, const LocalTime& arrival, const QByteArray& record,
                  qsizetype lineFrom) {
    const char separator = separatorOf(layout);
    const char mark = layout.decimalComma ? ',' : '.';
    QByteArray row;
    row.reserve(32 + layout.numbers * 16 + record.size() * 2);
    // ISO dates and times: a spreadsheet reads them as such in every locale.
    row += QByteArray::number(arrival.year);
    row += '-';
    appendTwoDigits(row, arrival.month);
    row += '-';
    appendTwoDigits(row, arrival.day);
    row += separator;
    appendTwoDigits(row, arrival.hour);
    row += ':';
    appendTwoDigits(row, arrival.minute);
    row += ':';
    appendTwoDigits(row, arrival.second);
    row += '.';
    row += char('0' + arrival.msec / 100 % 10);
    appendTwoDigits(row, arrival.msec % 100);
    const bool utf8 = record.isValidUtf8();
    const QList<Reading> readings = firstNumbers(
        QByteArrayView(record).sliced(std::clamp<qsizetype>(lineFrom, 0, record.size())),
        layout.numbers);
    for (int i = 0; i < layout.numbers; ++i) {
        row += separator;
        if (i < readings.size() && !readings[i].number.isEmpty())
            row += plainDecimal(readings[i].number, mark);
        row += separator;
        if (i < readings.size())
            appendField(row, utf8Of(readings[i].unit, utf8), separator, false);
    }
    row += separator;
    appendField(row, utf8 ? QByteArrayView(record) : QByteArrayView(utf8Of(record, false)),
                separator, true);
    return row;
}
