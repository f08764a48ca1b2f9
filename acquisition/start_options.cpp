// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/start_options.h"

#include "acquisition/core/line_ends.h"
#include "acquisition/core/setting_values.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/platform_files.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 kLeastBaud = 50;
constexpr qint64 kMostBaud = 4'000'000;

struct Option {
    const char* name;
    const char* value; // empty for a switch
    const char* takes; // what the value may be, for help and for the refusal
};

// Named once, here: a shortcut or a service file written today must work with every version.
constexpr std::array kOptions{
    Option{"port", "PORT", "COM1 to COM9, 1 to 9, or a serial device's path under /dev"},
    Option{"baud", "RATE", "a baud rate from 50 to 4000000"},
    Option{"folder", "DIR", "an existing folder for the data files"},
    Option{"stamp", "STAMP", "none, date or ms"},
    Option{"files", "EVERY", "daily or hourly"},
    Option{"comment", "TEXT", "the comment of the files' header line, on one line"},
    Option{"ask", "TEXT", "the command a print-on-demand instrument prints on"},
    Option{"ask-end", "END", "none, cr, lf or crlf"},
    Option{"ask-every", "SECONDS", "seconds from 0.1 to 86400"},
    Option{"csv", "", "writes a spreadsheet copy (CSV) beside each data file"},
    Option{"csv-values", "N", "values per row of the spreadsheet copy, 1 to 8"},
    Option{"csv-decimal", "MARK", "point or comma"},
    Option{"start", "", "presses START as soon as the logger is up"},
    Option{"headless", "", "logs without a window, its words on standard error; implies --start"},
    Option{"config", "FILE", "a file of options, one a line, read where it is named"},
    Option{"help", "", "shows the options"},
    Option{"version", "", "shows the version"},
};

const Option& option(QStringView name) {
    for (const Option& each : kOptions)
        if (name == QLatin1String(each.name))
            return each;
    return kOptions.front();
}

QString refusal(const QString& name) {
    return QStringLiteral("--%1 takes %2").arg(name, QLatin1String(option(name).takes));
}

QCommandLineOption parserOption(const Option& each) {
    if (*each.value == '\0')
        return {QLatin1String(each.name), QLatin1String(each.takes)};
    return {QLatin1String(each.name), QLatin1String(each.takes), QLatin1String(each.value)};
}

// A service's options file: one option a line as on a command line, its value the rest of the
// line, spaces and all; blank lines and lines starting with '#' say nothing.
bool readConfig(const QString& path, QStringList& into, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("--config %1: %2").arg(path, file.errorString());
        return false;
    }
    int lineNumber = 0;
    while (!file.atEnd()) {
        ++lineNumber;
        QString line = QString::fromUtf8(file.readLine()).trimmed();
        // An editor's byte-order mark is no part of the first option.
        if (lineNumber == 1 && line.startsWith(QChar(0xFEFF)))
            line = line.mid(1).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        static const QRegularExpression split(QStringLiteral("^(--[a-z-]+)(?:[ \\t=]+(.*))?$"));
        const QRegularExpressionMatch match = split.match(line);
        if (!match.hasMatch() || match.captured(1) == QLatin1String("--config")) {
            error = QStringLiteral("--config %1 line %2: one option a line, such as --port "
                                   "/dev/ttyUSB0")
                        .arg(path)
                        .arg(lineNumber);
            return false;
        }
        // As one argument: an option whose value the line leaves empty takes nothing of the
        // next line.
        const QString name = match.captured(1);
        const bool takesValue = *option(QStringView(name).mid(2)).value != '\0';
        into << (match.hasCaptured(2) || takesValue ? name + QLatin1Char('=') + match.captured(2)
                                                    : name);
    }
    return true;
}

bool takePort(const QString& text, StartOptions& options) {
    // One digit: the Setting window reads a port's number from its last character alone, and
    // would make COM12 port 2 at its next Close.
    static const QRegularExpression number(QStringLiteral("^(?:COM)?([1-9])$"),
                                           QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch match = number.match(text); match.hasMatch()) {
        options.port = static_cast<int16_t>(match.captured(1).toInt());
        return true;
    }
    // A device under /dev that is not there yet (an adapter udev names at boot, or one not
    // plugged in) is looked for at START, which says so when it is still missing.
    if (!isDeviceNode(text) &&
        (!text.startsWith(QLatin1String("/dev/")) || QFileInfo(text).exists()))
        return false;
    options.portPath = QFileInfo(text).absoluteFilePath();
    return true;
}

bool takeValue(const QString& name, const QString& value, StartOptions& options) {
    if (name == QLatin1String("port"))
        return takePort(value, options);
    if (name == QLatin1String("baud")) {
        bool ok = false;
        const qint64 rate = value.toLongLong(&ok);
        if (!ok || rate < kLeastBaud || rate > kMostBaud)
            return false;
        options.baud = QByteArray::number(rate);
        return true;
    }
    if (name == QLatin1String("folder")) {
        const QFileInfo folder(value);
        if (value.isEmpty() || !folder.isDir())
            return false;
        options.folder = encodePath(QDir::cleanPath(folder.absoluteFilePath()));
        return true;
    }
    if (name == QLatin1String("stamp")) {
        if (value != QLatin1String("none") && value != QLatin1String("date") &&
            value != QLatin1String("ms"))
            return false;
        options.stampDate = value == QLatin1String("none") ? kFalse : kTrue;
        options.stampMs = value == QLatin1String("ms") ? kTrue : kFalse;
        return true;
    }
    if (name == QLatin1String("files")) {
        if (value != QLatin1String("daily") && value != QLatin1String("hourly"))
            return false;
        options.hourly = value == QLatin1String("hourly") ? kTrue : kFalse;
        return true;
    }
    if (name == QLatin1String("comment")) {
        // The header is one line: a line end in it would make its rest look like a record.
        if (std::any_of(value.begin(), value.end(), [](QChar c) { return c.unicode() < 0x20; }))
            return false;
        // UTF-8, as the window takes it: the header gets the comment as typed.
        options.comment = value.toUtf8();
        return true;
    }
    if (name == QLatin1String("ask")) {
        // Sent one byte per character, as the window's field is.
        if (value.trimmed().isEmpty() || value.toLatin1() != value.toUtf8())
            return false;
        options.askCommand = value.toLatin1();
        return true;
    }
    if (name == QLatin1String("ask-end")) {
        for (const LineEnd& end : kLineEnds)
            if (QString::fromLatin1(end.name).remove(QLatin1Char(' ')).toLower() == value) {
                options.askLineEnd = QByteArray(end.bytes);
                return true;
            }
        return false;
    }
    if (name == QLatin1String("ask-every")) {
        options.askIntervalMs = askIntervalMs(value);
        return options.askIntervalMs.has_value();
    }
    if (name == QLatin1String("csv-values")) {
        options.csvNumbers = csvNumbersTyped(value);
        return options.csvNumbers.has_value();
    }
    if (name == QLatin1String("csv-decimal")) {
        if (value != QLatin1String("point") && value != QLatin1String("comma"))
            return false;
        options.csvDecimalComma = value == QLatin1String("comma") ? kTrue : kFalse;
        return true;
    }
    return false;
}

} // namespace

ParsedOptions parseStartOptions(const QStringList& arguments) {
    ParsedOptions parsed;
    // The options file's lines stand where it is named, so what follows it overrides them.
    QStringList spliced;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        QString path;
        if (argument == QLatin1String("--config") && i + 1 < arguments.size())
            path = arguments.at(++i);
        else if (argument.startsWith(QLatin1String("--config=")))
            path = argument.mid(9);
        else {
            spliced << argument;
            continue;
        }
        if (!readConfig(path, spliced, parsed.error))
            return parsed;
    }
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const Option& each : kOptions)
        parser.addOption(parserOption(each));
    if (!parser.parse(QStringList{QStringLiteral("tessaline")} + spliced)) {
        // Qt's text names the option but not what it takes; ours names both.
        static const QRegularExpression missing(QStringLiteral("^Missing value after '-+(.*)'"));
        const QRegularExpressionMatch match = missing.match(parser.errorText());
        if (match.hasMatch())
            parsed.error = refusal(match.captured(1));
        else if (!parser.unknownOptionNames().isEmpty())
            parsed.error = QStringLiteral("unknown option --%1; --help lists the options")
                               .arg(parser.unknownOptionNames().first());
        else
            parsed.error = parser.errorText();
        return parsed;
    }
    if (!parser.positionalArguments().isEmpty()) {
        parsed.error = QStringLiteral("%1 is no option; --help lists the options")
                           .arg(parser.positionalArguments().first());
        return parsed;
    }
    StartOptions& options = parsed.options;
    for (const QString& name : parser.optionNames()) {
        if (*option(name).value == '\0')
            continue;
        // The last of an option given twice counts, as the options file's lines may be
        // overridden by the command line.
        const QString value = parser.values(name).constLast();
        if (!takeValue(name, value, options)) {
            parsed.error = refusal(name);
            return parsed;
        }
    }
    options.csv = parser.isSet(QStringLiteral("csv"));
    options.start = parser.isSet(QStringLiteral("start"));
    options.headless = parser.isSet(QStringLiteral("headless"));
    options.start = options.start || options.headless;
    options.help = parser.isSet(QStringLiteral("help"));
    options.version = parser.isSet(QStringLiteral("version"));
    options.given = spliced;
    return parsed;
}

void StartOptions::apply(const QList<SerialDevice>& present) const {
    if (port) {
        varlin_def.PortNumber = *port;
        varlin_def.PortPath.clear();
    }
    if (!portPath.isEmpty()) {
        varlin_def.PortPath = encodePath(portPath);
        varlin_def.PortNumber = static_cast<int16_t>(portNumberOf(present, portPath));
    }
    if (baud)
        varlin_def.BaudRate = *baud;
    if (folder)
        varlin_def.SavePath = *folder;
    if (stampDate)
        varlin_def.StampDateTime = *stampDate;
    if (stampMs)
        varlin_def.StampMillis = *stampMs;
    if (hourly)
        varlin_def.HourlyFiles = *hourly;
    if (comment)
        varlin_def.FileComment = *comment;
    if (askCommand) {
        varlin_def.AskInstrument = kTrue;
        varlin_def.AskCommand = *askCommand;
    }
    if (askLineEnd)
        varlin_def.AskLineEnd = *askLineEnd;
    if (askIntervalMs)
        varlin_def.AskIntervalMs = *askIntervalMs;
    if (csv)
        varlin_def.CsvCopy = kTrue;
    if (csvNumbers)
        varlin_def.CsvNumbers = *csvNumbers;
    if (csvDecimalComma)
        varlin_def.CsvDecimalComma = *csvDecimalComma;
}

PortScan StartOptions::portScan(PortScan system) const {
    if (portPath.isEmpty())
        return system;
    return [system = std::move(system), path = portPath] {
        QList<SerialDevice> present = system();
        if (portNumberOf(present, path) == 0 && isDeviceNode(path))
            present << nodeDevice(path);
        return present;
    };
}

QString startOptionsHelp(const QString& program) {
    QString text = QStringLiteral("Usage: %1 [options]\n"
                                  "Logs the lines of one serial instrument into daily or hourly "
                                  "files.\nEach option sets the value a start begins from; the "
                                  "window may still change it.\n\n")
                       .arg(program);
    for (const Option& each : kOptions) {
        QString name = QStringLiteral("--") + QLatin1String(each.name);
        if (*each.value != '\0')
            name += QLatin1Char(' ') + QLatin1String(each.value);
        text += QStringLiteral("  %1%2\n").arg(name.leftJustified(22), QLatin1String(each.takes));
    }
    return text;
}

std::optional<int> answerStartOptions(const ParsedOptions& parsed, const QString& program) {
    const auto print = [](FILE* stream, const QString& text) {
        const QByteArray bytes = text.toLocal8Bit();
        std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
        std::fflush(stream);
    };
    if (!parsed.error.isEmpty()) {
        print(stderr, QStringLiteral("%1: %2\n").arg(program, parsed.error));
        return 2;
    }
    if (parsed.options.help) {
        print(stdout, startOptionsHelp(program));
        return 0;
    }
    if (parsed.options.version) {
        print(stdout, QStringLiteral("%1 %2\n").arg(program, QStringLiteral(TESSALINE_VERSION)));
        return 0;
    }
    return std::nullopt;
}

QStringList commandLineArguments(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}
