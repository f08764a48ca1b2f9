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
    for (qsizetype from = 0;;) {
        const qsizetype quote = field.indexOf('"', from);
        if (quote < 0) {
            out += field.sliced(from);
            break;
        }
        out += field.sliced(from, quote + 1 - from);
        out += '"';
        from = quote + 1;
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

// plainDecimal, appended to `out`: a row is built without a string per number.
void appendPlainDecimal(QByteArray& out, QByteArrayView number, char mark) {
    qsizetype i = 0;
    const bool negative = !number.isEmpty() && number[0] == '-';
    if (negative || (!number.isEmpty() && number[0] == '+'))
        ++i;
    qsizetype exponentAt = number.size();
    for (qsizetype j = i; j < number.size(); ++j)
        if (number[j] == 'e' || number[j] == 'E')
            exponentAt = j;
    QByteArrayView mantissa = number.sliced(i, exponentAt - i);
    qsizetype markAt = mantissa.indexOf('.');
    if (markAt < 0)
        markAt = mantissa.indexOf(',');
    QByteArrayView whole = markAt < 0 ? mantissa : mantissa.first(markAt);
    QByteArrayView fraction = markAt < 0 ? QByteArrayView() : mantissa.sliced(markAt + 1);
    // An exponent moves the mark: the digits are laid out anew, and the zeros the shift leaves
    // past what the instrument printed go.
    QByteArray shifted;
    if (exponentAt < number.size()) {
        const int exponent = std::clamp(number.sliced(exponentAt + 1).toByteArray().toInt(),
                                        -kMostExponent, kMostExponent);
        const QByteArray digits = whole.toByteArray() + fraction.toByteArray();
        const qsizetype printed = fraction.size();
        const qsizetype point = whole.size() + exponent;
        if (point <= 0)
            shifted = '.' + QByteArray(-point, '0') + digits;
        else if (point >= digits.size())
            shifted = digits + QByteArray(point - digits.size(), '0');
        else
            shifted = digits.first(point) + '.' + digits.sliced(point);
        const qsizetype dot = shifted.indexOf('.');
        if (dot >= 0) {
            qsizetype end = shifted.size();
            while (end - dot - 1 > std::max<qsizetype>(printed, 0) && shifted[end - 1] == '0')
                --end;
            shifted.truncate(end == dot + 1 ? dot : end);
        }
        const qsizetype newDot = shifted.indexOf('.');
        whole = newDot < 0 ? QByteArrayView(shifted) : QByteArrayView(shifted).first(newDot);
        fraction = newDot < 0 ? QByteArrayView() : QByteArrayView(shifted).sliced(newDot + 1);
    }
    qsizetype lead = 0;
    while (lead + 1 < whole.size() && whole[lead] == '0')
        ++lead;
    if (negative)
        out += '-';
    if (whole.isEmpty())
        out += '0';
    else
        out += whole.sliced(lead);
    if (!fraction.isEmpty()) {
        out += mark;
        out += fraction;
    }
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
    QByteArray out;
    appendPlainDecimal(out, number, mark);
    return out;
}

QByteArray csvRow(const CsvLayout& layout, const LocalTime& arrival, const QByteArray& record,
                  qsizetype lineFrom) {
    const char separator = separatorOf(layout);
    const char mark = layout.decimalComma ? ',' : '.';
    QByteArray row;
    row.reserve(32 + layout.numbers * 16 + record.size() * 2);
    // ISO dates and times: a spreadsheet reads them as such in every locale.
    appendTwoDigits(row, arrival.year / 100);
    appendTwoDigits(row, arrival.year);
    row += '-';
    appendTwoDigits(row, arrival.month);
    row += '-';
    appendTwoDigits(row, arrival.day);
    row += separator;
    // Quoted with a decimal comma, as the numbers are.
    if (layout.decimalComma)
        row += '"';
    appendTwoDigits(row, arrival.hour);
    row += ':';
    appendTwoDigits(row, arrival.minute);
    row += ':';
    appendTwoDigits(row, arrival.second);
    // A German spreadsheet reads 12:05:01.123 as text, 12:05:01,123 as a time.
    row += mark;
    row += char('0' + arrival.msec / 100 % 10);
    appendTwoDigits(row, arrival.msec % 100);
    if (layout.decimalComma)
        row += '"';
    const bool utf8 = record.isValidUtf8();
    const QList<Reading> readings = firstNumbers(
        QByteArrayView(record).sliced(std::clamp<qsizetype>(lineFrom, 0, record.size())),
        layout.numbers);
    for (int i = 0; i < layout.numbers; ++i) {
        row += separator;
        if (i < readings.size() && !readings[i].number.isEmpty()) {
            const qsizetype start = row.size();
            appendPlainDecimal(row, readings[i].number, mark);
            // Quoted, so that a spreadsheet that splits fields at commas too (Calc, as it comes)
            // keeps 12,345 one number.
            if (layout.decimalComma && row.indexOf(',', start) >= 0) {
                row.insert(start, '"');
                row += '"';
            }
        }
        row += separator;
        if (i < readings.size() && !readings[i].unit.isEmpty()) {
            const QByteArray& unit = readings[i].unit;
            appendField(row, utf8 && unit.isValidUtf8() ? unit : utf8Of(unit, utf8), separator,
                        false);
        }
    }
    row += separator;
    appendField(row, utf8 ? QByteArrayView(record) : QByteArrayView(utf8Of(record, false)),
                separator, true);
    return row;
}
