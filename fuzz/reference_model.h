// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <map>

/// What the logger must show and write for one received byte stream, derived straight from
/// the framing rules and written apart from the loop, so the two can be compared.
struct ModelInput {
    bool stampDateTime = false;
    bool stampMillis = false;
    bool hourlyFiles = false;
    QDateTime start;            // the clock before the first byte is read
    qint64 stepMs = 0;          // the clock moves this much as each byte is read
    QByteArray bytes;           // what arrives after START, in order
    qsizetype maxLineBytes = 0; // a line this long is recorded when more text comes
};

struct ModelOutput {
    QList<QByteArray> shown;                // every record, in order
    std::map<QByteArray, QByteArray> files; // file name -> full content
};

ModelOutput predict(const ModelInput& in);
