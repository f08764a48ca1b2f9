#include "acquisition/logger.h"

Logger::Logger(CommPort& port, const Clock& clock, MessageSink& messages, FileSync& sync)
    : m_link(port, messages), m_writer(clock, messages, sync),
      m_loop(port, m_link, m_writer, *this) {
    QObject::connect(&m_link, &SerialLink::lineMessage, &m_link,
                     [this](const QString& caption) { setTitleText(caption); });
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

void Logger::endProgram() {
    if (m_view)
        m_view->endProgram();
}
