#include "acquisition/logger.h"

#include "acquisition/message_sink.h"

Logger::Logger(CommPort& port, const Clock& clock, MessageSink& messages, FileSync& sync)
    : m_port(port), m_messages(messages), m_link(port, messages, *this),
      m_writer(clock, messages, sync), m_loop(port, m_link, m_writer, messages, *this) {}

bool Logger::start() {
    if (varlin_def.Stopped != kTrue)
        return false;
    varlin_def.Stopped = kFalse;
    // Two instruments' records in one daily file could no longer be told apart; they are
    // still written, and the operator is told.
    if (!m_claim.take(varlin_def.SavePath)) {
        setTitleText(QStringLiteral("Another logger writes to this folder"));
        m_messages.beep();
    }
    m_loop.startPressed();
    return true;
}

bool Logger::stop() {
    if (varlin_def.Stopped != kFalse)
        return false;
    // The flag goes first: the loop is parked at its yield and sees it before the port closes.
    varlin_def.Stopped = kTrue;
    m_loop.stopPressed();
    m_link.closePort();
    m_claim.release();
    return true;
}

void Logger::finish() {
    m_loop.finish();
    m_link.closePort();
    m_claim.release();
}

void Logger::setStateText(const QString& text) {
    if (m_view)
        m_view->setStateText(text);
}

void Logger::showRecord(const QByteArray& record) {
    if (m_view)
        m_view->showRecord(record);
}

void Logger::setTitleText(const QString& text) {
    if (m_view)
        m_view->setTitleText(text);
}

void Logger::showPortDevice(const QString& description) {
    if (m_view)
        m_view->showPortDevice(description);
}

void Logger::endProgram() {
    if (m_view)
        m_view->endProgram();
}
