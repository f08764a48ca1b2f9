#include "acquisition/waiting_records.h"

#include "acquisition/data_file.h"
#include "acquisition/loop_view.h"
#include "acquisition/message_sink.h"

#include <QString>

namespace {
constexpr qint64 kBeepIntervalMs = 1000;
}

WaitingRecords::WaitingRecords(DataFileWriter& writer, MessageSink& messages, LoopView& view)
    : m_writer(writer), m_messages(messages), m_view(view) {}

bool WaitingRecords::lineEnd(const QByteArray& record, bool write) {
    // The box is for the first failure; while records wait the operator has been told.
    const bool quiet = any();
    const int32_t openError = open(quiet);
    int32_t error = openError != 0 ? openError : writeWaiting();
    if (error == 0 && write)
        error = m_writer.writeLine(record);
    if (error != 0 && write)
        keep(record);
    m_writer.close();
    // File_open has shown its own box; a failing write is reported the same way.
    if (error != 0 && openError == 0 && !quiet)
        m_messages.showMessage(dataFileErrorText(error));
    if (error != 0 && quiet)
        beepAtMostOnceASecond();
    tell(error);
    return openError == 0;
}

void WaitingRecords::retry() {
    if (!any())
        return;
    const int32_t error = open(true);
    const int32_t writeError = error != 0 ? error : writeWaiting();
    m_writer.close();
    if (writeError != 0)
        beepAtMostOnceASecond();
    tell(writeError);
}

void WaitingRecords::lastTry() {
    if (!any())
        return;
    if (open(true) == 0)
        writeWaiting();
    m_writer.close();
}

int32_t WaitingRecords::open(bool quiet) {
    if (quiet)
        return m_writer.openQuietly();
    m_writer.File_open();
    return m_writer.failure();
}

int32_t WaitingRecords::writeWaiting() {
    while (any()) {
        if (const int32_t error = m_writer.writeLine(m_records.constFirst()); error != 0)
            return error;
        m_records.removeFirst();
        ++m_written;
    }
    return 0;
}

void WaitingRecords::keep(const QByteArray& record) {
    m_records.append(record);
    if (m_records.size() > kMax)
        m_records.removeFirst();
}

void WaitingRecords::tell(int32_t error) {
    if (error != 0 && any()) {
        m_view.setTitleText(QStringLiteral("Data file output error.  %1 : %2 records waiting")
                                .arg(error)
                                .arg(m_records.size()));
    } else if (error == 0 && m_written > 0) {
        m_view.setTitleText(QStringLiteral("%1 waiting records written").arg(m_written));
        m_written = 0;
    }
}

void WaitingRecords::beepAtMostOnceASecond() {
    if (m_lastBeep.isValid() && m_lastBeep.elapsed() < kBeepIntervalMs)
        return;
    m_lastBeep.start();
    m_messages.beep();
}
