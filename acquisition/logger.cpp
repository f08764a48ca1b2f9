// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/logger.h"

#include "acquisition/core/journal.h"
#include "acquisition/core/message_sink.h"

Logger::Logger(CommPort& port, const Clock& clock, MessageSink& messages, FileCalls& files,
               const QString& spoolFolder)
    : m_port(port), m_clock(clock), m_messages(messages), m_link(port, messages, m_view),
      m_store(clock, messages, m_view, files,
              spoolFolder.isEmpty() ? Spool::defaultFolder() : spoolFolder),
      m_loop(port, m_link, m_store, m_view), m_asking(port, m_link, m_view) {
    m_claimRetry.setInterval(kClaimRetryMs);
    QObject::connect(&m_claimRetry, &QTimer::timeout, &m_claimRetry, [this] { claimFolder(); });
    // A logger whose port did not open writes nothing into the folder.
    QObject::connect(&m_link, &SerialLink::initialised, &m_link, [this](bool portOpen) {
        if (portOpen)
            m_asking.portOpened();
        else
            releaseFolder();
    });
}

void Logger::writeLeftoversHere() {
    m_store.writeLeftoversHere();
}

bool Logger::startPressed() {
    if (varlin_def.Stopped != kTrue)
        return false;
    varlin_def.Stopped = kFalse;
    m_claimedFolder = varlin_def.SavePath;
    m_view.journal(JournalLevel::Notice, QStringLiteral("START: ") + settingsInForce());
    m_store.startPressed();
    m_beepIfShared = true;
    claimFolder();
    m_loop.startPressed();
    m_asking.startPressed();
    return true;
}

bool Logger::stopPressed() {
    if (varlin_def.Stopped != kFalse)
        return false;
    // The flag goes first: the loop is parked at its yield and sees it before the port closes.
    varlin_def.Stopped = kTrue;
    m_view.journal(JournalLevel::Notice, QStringLiteral("STOP"));
    m_asking.stop();
    m_loop.stopPressed();
    m_link.closePort();
    releaseFolder();
    m_view.showPortDevice(QString());
    return true;
}

void Logger::finish(bool operatorPresent) {
    m_asking.stop();
    m_loop.recordHeldLines();
    m_loop.halt();
    m_store.finish(operatorPresent);
    m_link.closePort();
    releaseFolder();
    m_view.journal(JournalLevel::Notice, QStringLiteral("END"));
}

void Logger::claimFolder() {
    // Answered on the window's thread by claimAnswered, the calls made on the claim's.
    m_claim.take(m_claimedFolder);
}

void Logger::claimAnswered(bool alone) {
    // Two instruments' records in one daily file could no longer be told apart; they are
    // still written, and the operator is told for as long as the other logger holds it.
    if (std::exchange(m_beepIfShared, false) && !alone)
        m_messages.beep();
    if (alone == !m_claimRetry.isActive())
        return;
    if (alone)
        m_claimRetry.stop();
    else
        m_claimRetry.start();
    m_view.showFolderShared(!alone);
}

void Logger::releaseFolder() {
    m_claim.release();
    m_beepIfShared = false;
    if (!m_claimRetry.isActive())
        return;
    m_claimRetry.stop();
    m_view.showFolderShared(false);
}
