// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

// Booleans of the shared state are 16-bit and hold exactly these two values.
inline constexpr int16_t kTrue = -1;
inline constexpr int16_t kFalse = 0;
// The most values of one record the spreadsheet copy gives columns of their own.
inline constexpr int kMostCsvNumbers = 8;

/// The process-wide record of settings, run flag and receive buffers that every part shares.
/// Texts are byte strings: one received byte is one character; the operator's comment is UTF-8.
struct VarlinDef {
    QByteArray SavePath;
    int16_t PortNumber = 0;
    QByteArray PortPath; // a device named by its path: START opens whichever port it is then
    QByteArray BaudRate;
    int16_t StampDateTime = kFalse;
    int16_t StampMillis = kFalse;
    int16_t Stopped = kFalse;
    QByteArray RxChar;
    QByteArray LineBuffer;
    QByteArray DataFilePath;
    QByteArray FileComment;
    int16_t HourlyFiles = kFalse;
    // Asking a print-on-demand instrument for its readings while acquisition runs.
    int16_t AskInstrument = kFalse;
    QByteArray AskCommand; // sent as it stands, one byte per character, like Send's text
    QByteArray AskLineEnd;
    qint64 AskIntervalMs = 0;
    // A spreadsheet copy (CSV) of every record, beside its data file.
    int16_t CsvCopy = kFalse;
    int16_t CsvNumbers = 1;           // numbers of a record put into columns, 1 to 8
    int16_t CsvDecimalComma = kFalse; // ';' between fields and ',' as the decimal mark
};

extern VarlinDef varlin_def;

/// Every field as a start of the program leaves it: COM1 at 9600 baud, daily files, records
/// without a stamp, stopped, data files in `savePath`, not asking the instrument (CR LF every
/// 10 s once asked to), no spreadsheet copy (one number a row once asked for, in the dialect of
/// the system's decimal mark). The one place the start values live.
void loadStartValues(const QByteArray& savePath);

/// Asks whether the running account can create files in a folder.
using FolderCheck = std::function<bool(const QString& folder)>;

/// Where data files go after start-up: the executable's folder when the account can create
/// files there, else the account's documents folder, and failing that its home folder.
QByteArray startSavePath(const FolderCheck& canCreateFiles);
/// The same, by the account's own rights.
QByteArray startSavePath();
