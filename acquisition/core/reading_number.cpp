// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/core/reading_number.h"

#include <cmath>
#include <limits>

namespace {

constexpr qsizetype kMaxUnitBytes = 16;

bool isDigit(QByteArrayView text, qsizetype i) {
    return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

qsizetype skipDigits(QByteArrayView text, qsizetype i) {
    while (isDigit(text, i))
        ++i;
    return i;
}

qsizetype skipBlanks(QByteArrayView text, qsizetype i) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    return i;
}

// Where a number's digits start at or after `i`, with its sign; -1 when none starts there.
qsizetype digitsAt(QByteArrayView text, qsizetype i) {
    if (i >= text.size())
        return -1;
    if (isDigit(text, i) || (text[i] == '.' && isDigit(text, i + 1)))
        return i;
    return -1;
}

// A comma between digits is a decimal mark ("12,5"), unless the digits after it run on into
// another comma and digit, a list of whole numbers ("12,5,7"), or into a fraction or an
// exponent of their own, a field after an index ("001,12.34 g").
bool decimalComma(QByteArrayView text, qsizetype at) {
    if (at >= text.size() || text[at] != ',' || !isDigit(text, at + 1))
        return false;
    const qsizetype end = skipDigits(text, at + 1);
    if (end >= text.size())
        return true;
    const char next = text[end];
    return !((next == ',' && isDigit(text, end + 1)) || next == '.' || next == 'e' || next == 'E');
}

// A sign stands before a number, never inside a word or after digits ("10-20 mV", dates).
bool signAt(QByteArrayView text, qsizetype i) {
    if (text[i] != '+' && text[i] != '-')
        return false;
    if (i == 0)
        return true;
    const auto before = static_cast<unsigned char>(text[i - 1]);
    const bool letter = (before | 0x20) >= 'a' && (before | 0x20) <= 'z';
    return !letter && !isDigit(text, i - 1);
}

// A unit is the word right after the number, blanks between allowed; it starts with a letter,
// a percent sign or a byte of a wider code ("°C", "µS").
QByteArray unitAt(QByteArrayView text, qsizetype i) {
    i = skipBlanks(text, i);
    if (i >= text.size())
        return {};
    const auto first = static_cast<unsigned char>(text[i]);
    const bool letter = (first | 0x20) >= 'a' && (first | 0x20) <= 'z';
    if (!letter && first != '%' && first < 0x80)
        return {};
    qsizetype end = i;
    while (end < text.size() && end - i < kMaxUnitBytes) {
        const auto c = static_cast<unsigned char>(text[end]);
        if (c <= ' ' || c == ',' || c == ';' || c == '=')
            break;
        ++end;
    }
    return text.sliced(i, end - i).toByteArray();
}

} // namespace

QString recordText(const QByteArray& bytes) {
    return bytes.isValidUtf8() ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

QList<Reading> firstNumbers(QByteArrayView text, int most) {
    QList<Reading> readings;
    qsizetype i = 0;
    while (i < text.size() && readings.size() < most) {
        bool negative = false;
        qsizetype start = digitsAt(text, i);
        if (start < 0 && signAt(text, i)) {
            // A balance pads between its sign and its digits.
            start = digitsAt(text, skipBlanks(text, i + 1));
            negative = start >= 0 && text[i] == '-';
        }
        if (start < 0) {
            ++i;
            continue;
        }
        QByteArray number = negative ? "-" : "";
        qsizetype end = skipDigits(text, start);
        number += text.sliced(start, end - start).toByteArray();
        // A number that follows one and a comma is in a list: its comma separates too.
        const bool listed = start >= 2 && text[start - 1] == ',' && isDigit(text, start - 2);
        if (end < text.size() && (text[end] == '.' || (!listed && decimalComma(text, end)))) {
            const qsizetype fraction = skipDigits(text, end + 1);
            number += '.' + text.sliced(end + 1, fraction - end - 1).toByteArray();
            end = fraction;
        }
        if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
            qsizetype exponent = end + 1;
            if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-'))
                ++exponent;
            if (isDigit(text, exponent)) {
                const qsizetype digitsEnd = skipDigits(text, exponent);
                number += 'e' + text.sliced(end + 1, digitsEnd - end - 1).toByteArray();
                end = digitsEnd;
            }
        }
        bool ok = false;
        const double value = number.toDouble(&ok);
        if (ok && std::isfinite(value))
            readings.append({value, unitAt(text, end), number});
        else
            readings.append({std::numeric_limits<double>::quiet_NaN(), {}, {}});
        i = end;
    }
    return readings;
}

std::optional<Reading> nthNumber(QByteArrayView text, int which) {
    if (which < 1)
        return std::nullopt;
    QList<Reading> readings = firstNumbers(text, which);
    if (readings.size() < which || readings.last().number.isEmpty())
        return std::nullopt;
    return std::move(readings.last());
}
