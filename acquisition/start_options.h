// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/platform/serial_device.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <cstdint>
#include <optional>

/// What a command line (or a service's options file) asks of a start: the values the settings
/// begin from, and whether to press START at once or run without a window. Nothing is saved:
/// without options a start begins from the program's own start values.
struct StartOptions {
    // Each is left as the start values have it while unset.
    std::optional<int16_t> port;
    QString portPath; // a device named by its path; START opens whichever port it is then
    std::optional<QByteArray> baud;
    std::optional<QByteArray> folder;
    std::optional<int16_t> stampDate;
    std::optional<int16_t> stampMs;
    std::optional<int16_t> hourly;
    std::optional<QByteArray> comment;
    std::optional<QByteArray> askCommand;
    std::optional<QByteArray> askLineEnd;
    std::optional<qint64> askIntervalMs;
    bool csv = false;
    std::optional<int16_t> csvNumbers;
    std::optional<int16_t> csvDecimalComma;

    bool start = false;
    bool headless = false;
    bool help = false;
    bool version = false;
    QStringList given; // the options as given, for the journal

    /// The settings as these options set them, over the start values already loaded. A port
    /// named by its path gets the number it has among `present`, so the window shows it.
    void apply(const QList<SerialDevice>& present = {}) const;
    /// The ports a start chooses from: the system's, and the device named by its path where
    /// the system does not list it (a pseudo-terminal, a device the scan cannot see).
    PortScan portScan(PortScan system) const;
};

/// The command line without the program's name, a service's options file spliced in where
/// --config names it. Gives one line naming the option and what it takes when any is wrong.
struct ParsedOptions {
    StartOptions options;
    QString error; // empty when every option was taken
};
ParsedOptions parseStartOptions(const QStringList& arguments);

/// What --help prints.
QString startOptionsHelp(const QString& program);

/// What a program does with its options before anything else: --help and --version answered
/// on standard output, a refusal as one line on standard error. The exit code when the program
/// ends here (0, or 2 for a refusal), nothing when it goes on.
std::optional<int> answerStartOptions(const ParsedOptions& parsed, const QString& program);

/// The command line as the system gave it, without the program's name.
QStringList commandLineArguments(int argc, char* argv[]);
