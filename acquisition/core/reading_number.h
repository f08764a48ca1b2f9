// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

/// A number an instrument printed in a record, and the unit it printed right after it.
struct Reading {
    double value = 0;
    QByteArray unit;   // "g", "C", "mS/cm"; empty when none follows the number
    QByteArray number; // as read: "-0012.345", "1.2345e-03" (a point, whatever was printed)
};

/// An instrument's bytes as the operator reads them: UTF-8 ("°C", Japanese units) as it was
/// meant, anything else one byte, one character, so nothing is lost or merged on screen.
QString recordText(const QByteArray& bytes);

/// The `which`th (from 1) decimal number in `text`, read as instruments print them: a sign
/// that may stand apart from its digits ("US,-   0.02 g"), a point or a comma as the decimal
/// mark, an exponent ("+1.2345E-03"). Nothing when `text` holds fewer numbers, or that one
/// is beyond what a double holds.
std::optional<Reading> nthNumber(QByteArrayView text, int which);
/// The first `most` numbers in `text`, read as nthNumber reads each, in one pass: entry i is
/// nthNumber(text, i + 1), or NaN with an empty `number` for one beyond what a double holds.
/// Shorter when `text` holds fewer.
QList<Reading> firstNumbers(QByteArrayView text, int most);
