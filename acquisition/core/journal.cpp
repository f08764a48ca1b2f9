// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/core/journal.h"

#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/platform_files.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <cstdio>

namespace {

const char* levelName(JournalLevel level) {
    switch (level) {
    case JournalLevel::Error:
        return "error";
    case JournalLevel::Warning:
        return "warning";
    case JournalLevel::Notice:
        return "notice";
    case JournalLevel::Info:
        break;
    }
    return "info";
}

// A word with its counts taken out: "Data folder not answering: 120 records waiting" is the
// same news at 121.
QString kindOf(QString text) {
    static const QRegularExpression digits(QStringLiteral("[0-9]+"));
    return text.replace(digits, QStringLiteral("#"));
}

} // namespace

Journal::Journal(Writer write) : m_write(std::move(write)) {
    // systemd sets it for a service whose standard error is the journal.
    m_levelPrefix = !qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
    if (!m_write)
        m_write = [](const QByteArray& line) {
            std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
            std::fflush(stderr);
        };
}

void Journal::write(JournalLevel level, const QString& text) {
    const QDateTime now = QDateTime::currentDateTime();
    QByteArray line;
    if (m_levelPrefix)
        line += '<' + QByteArray::number(static_cast<int>(level)) + '>';
    // With its offset, so lines from either side of a clock change still sort.
    line += now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs).toUtf8();
    line += ' ';
    line += levelName(level);
    line += ": ";
    // One line each, whatever the text holds.
    QString oneLine = text;
    oneLine.replace(QLatin1Char('\n'), QLatin1Char(' ')).remove(QLatin1Char('\r'));
    line += oneLine.toUtf8();
    line += '\n';
    m_write(line);
}

void JournalView::setStateText(const QString& text) {
    if (text == m_state)
        return;
    m_state = text;
    m_journal.write(JournalLevel::Info, QStringLiteral("status: ") + text);
}

void JournalView::setTitleText(const QString& text) {
    // "." and nothing are the line quiet again; each error is news once more after a quiet
    // spell, with how often it came meanwhile.
    if (text.isEmpty() || text == QLatin1String("."))
        return;
    if (m_titles.size() > 64)
        m_titles.clear();
    Said& said = m_titles[kindOf(text)];
    if (said.at.isValid() && !said.at.hasExpired(kRepeatQuietMs)) {
        ++said.since;
        return;
    }
    QString line = text;
    if (said.since > 0)
        line += QStringLiteral(" (and %1 times like it in the minute before)").arg(said.since);
    said.since = 0;
    said.at.start();
    m_journal.write(JournalLevel::Warning, line);
}

void JournalView::endProgram() {
    if (m_endProgram)
        m_endProgram();
}

void JournalView::showPortDevice(const QString& description) {
    if (description.isEmpty() || description == m_port)
        return;
    m_port = description;
    m_journal.write(JournalLevel::Notice,
                    QStringLiteral("COM%1 is %2").arg(varlin_def.PortNumber).arg(description));
}

void JournalView::showFolderShared(bool shared) {
    const QString folder = QDir::toNativeSeparators(decodePath(varlin_def.SavePath));
    if (shared)
        m_journal.write(JournalLevel::Warning,
                        QStringLiteral("Another logger writes to this folder: %1").arg(folder));
    else
        m_journal.write(JournalLevel::Notice,
                        QStringLiteral("No other logger writes to %1 now").arg(folder));
}

void JournalView::showStorageState(const QString& word) {
    const QString key = kindOf(word);
    if (key == m_storageKey)
        return;
    const bool wasWell = m_storageKey.isEmpty();
    m_storageKey = key;
    if (!word.isEmpty())
        m_journal.write(JournalLevel::Warning, word);
    else if (!wasWell)
        m_journal.write(JournalLevel::Notice,
                        QStringLiteral("Data folder %1: all is well")
                            .arg(QDir::toNativeSeparators(decodePath(varlin_def.SavePath))));
}

void JournalView::showAsking(const QString& word) {
    if (word == m_asking)
        return;
    m_asking = word;
    if (!word.isEmpty())
        m_journal.write(JournalLevel::Info, QStringLiteral("The logger ") + word);
}

void JournalSink::showMessage(const QString& text) {
    m_journal.write(text.startsWith(QLatin1String("Error")) ? JournalLevel::Error
                                                            : JournalLevel::Warning,
                    text);
    if (m_boxes)
        m_boxes->showMessage(text);
}

QString settingsInForce() {
    const VarlinDef& v = varlin_def;
    QString port = QStringLiteral("COM%1").arg(v.PortNumber);
    if (!v.PortPath.isEmpty())
        port = decodePath(v.PortPath);
    QString stamp = QStringLiteral("no stamp");
    if (v.StampDateTime != kFalse)
        stamp = v.StampMillis != kFalse ? QStringLiteral("date and time to the ms")
                                        : QStringLiteral("date and time");
    QString line =
        QStringLiteral("%1 at %2 baud, %3 files in %4, %5")
            .arg(port, QString::fromLatin1(v.BaudRate),
                 v.HourlyFiles != kFalse ? QStringLiteral("hourly") : QStringLiteral("daily"),
                 QDir::toNativeSeparators(decodePath(v.SavePath)), stamp);
    if (!v.FileComment.isEmpty())
        line += QStringLiteral(", comment \"%1\"").arg(QString::fromUtf8(v.FileComment));
    if (v.AskInstrument != kFalse)
        line += QStringLiteral(", asking every %1 s")
                    .arg(static_cast<double>(v.AskIntervalMs) / 1000.0);
    if (v.CsvCopy != kFalse)
        line += QStringLiteral(", spreadsheet copy with %1 values a row, decimal %2")
                    .arg(v.CsvNumbers)
                    .arg(v.CsvDecimalComma != kFalse ? QStringLiteral("comma")
                                                     : QStringLiteral("point"));
    return line;
}
