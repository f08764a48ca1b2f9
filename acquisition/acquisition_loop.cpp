// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/acquisition_loop.h"

#include "acquisition/core/loop_view.h"
#include "acquisition/serial/comm_port.h"
#include "acquisition/serial/serial_link.h"
#include "acquisition/storage/record_store.h"

#include <algorithm>
#include <utility>

AcquisitionLoop::AcquisitionLoop(CommPort& port, SerialLink& link, RecordStore& store,
                                 LoopView& view, QObject* parent)
    : QObject(parent), m_port(port), m_link(link), m_store(store), m_view(view) {
    m_sleep.setSingleShot(true);
    m_sleep.setTimerType(Qt::PreciseTimer);
    connect(&m_sleep, &QTimer::timeout, this, &AcquisitionLoop::pass);
    m_retry.setInterval(kRetryIntervalMs);
    connect(&m_retry, &QTimer::timeout, this, &AcquisitionLoop::retryTick);
    m_lfHint.setSingleShot(true);
    connect(&m_lfHint, &QTimer::timeout, this, [this] {
        m_lfHintShown = true;
        m_link.tell(
            QStringLiteral("No CR received; the instrument may end its lines with LF only"));
    });
    connect(&m_port, &CommPort::deviceRemoved, this, &AcquisitionLoop::onDeviceRemoved);
    connect(&m_port, &CommPort::dataReceived, this, &AcquisitionLoop::dataReceived);
}

void AcquisitionLoop::beginLoop() {
    if (m_phase != Phase::NotStarted)
        return;
    SkipFirstRecord = kTrue;
    m_phase = Phase::Idle;
    // The first pass runs from the event loop, not inside the window's activation.
    m_sleep.start(0);
}

void AcquisitionLoop::recordHeldLines() {
    // Inside a pass (a box of it still up) its line is half handled: nothing can be added.
    if (m_phase != Phase::Receive || stopSeen() || m_inPass)
        return;
    m_inPass = true;
    m_port.collectReceived();
    // What the reader holds is bounded; an instrument still sending is not waited for.
    Batch batch{kMaxHeldChars, 0};
    while (m_phase == Phase::Receive && nextChar(batch))
        handleChar();
    m_inPass = false;
}

void AcquisitionLoop::halt() {
    m_phase = Phase::Ended;
    m_sleep.stop();
    m_retry.stop();
    m_lfHint.stop();
}

qsizetype AcquisitionLoop::waitingRecords() const {
    return m_store.waiting();
}

void AcquisitionLoop::wake() {
    if (m_phase == Phase::NotStarted || m_phase == Phase::Ended)
        return;
    // Never a pass inside a pass, even while a message box runs its own event loop in one:
    // the pass asks for the next one as it ends.
    if (m_inPass) {
        m_wokenInPass = true;
        return;
    }
    if (m_sleep.isActive())
        return;
    const bool justPassed = m_sinceLastPass.isValid() && m_sinceLastPass.elapsed() < kMinPassGapMs;
    m_sleep.start(justPassed ? kMinPassGapMs : 0);
}

void AcquisitionLoop::dataReceived() {
    // While idle the port is closed and only START matters.
    if (m_phase == Phase::Sync || m_phase == Phase::Receive)
        wake();
}

void AcquisitionLoop::pass() {
    m_inPass = true;
    m_wokenInPass = false;
    m_moreWaiting = false;
    m_sinceLastPass.start();
    switch (m_phase) {
    case Phase::Idle:
        idlePass();
        break;
    case Phase::Sync:
        syncPass();
        break;
    case Phase::Receive:
        // The test that closes the previous receive pass, once the loop is woken again.
        if (stopSeen()) {
            goIdle();
            idlePass();
        } else {
            receivePass();
        }
        break;
    case Phase::NotStarted:
    case Phase::Ended:
        break;
    }
    m_inPass = false;
    // Idle waits for START, sync and receive for data or STOP: nothing to do until then,
    // unless characters were left over or something happened while a message box was up.
    if (m_moreWaiting || m_wokenInPass)
        wake();
}

void AcquisitionLoop::idlePass() {
    if (varlin_def.Stopped != kFalse)
        return;
    startUp();
    if (m_phase == Phase::Sync)
        syncPass();
}

void AcquisitionLoop::startUp() {
    m_stopPending = false;
    m_deviceAway = false;
    m_skipToLineEnd = false;
    updateRetry();
    m_view.setStateText(QStringLiteral("Initialize..."));
    m_link.Init_Comm();
    if (m_phase == Phase::Ended) // the window went away while a message box was up
        return;
    m_port.discardReceived();
    varlin_def.RxChar.clear();
    varlin_def.LineBuffer.clear();
    LineEndCount = 1;
    m_lfSinceCr = 0;
    m_lfHintShown = false;
    m_lineCut = false;
    m_sinceCr.start();
    m_phase = Phase::Sync;
}

bool AcquisitionLoop::nextChar(Batch& batch) {
    if (batch.budget == 0) {
        m_moreWaiting = true;
        return false;
    }
    if (batch.waiting == 0)
        batch.waiting = m_port.bytesWaiting();
    if (batch.waiting <= 0)
        return false;
    char c = 0;
    if (!m_port.readByte(c)) { // the port was closed under us
        varlin_def.RxChar.clear();
        batch.waiting = 0;
        return false;
    }
    // Still a one-character text, rewritten in place rather than allocated per character.
    varlin_def.RxChar.resize(1);
    varlin_def.RxChar.data()[0] = c;
    --batch.waiting;
    --batch.budget;
    return true;
}

void AcquisitionLoop::syncPass() {
    Batch batch;
    bool inStep = false;
    // Everything up to the third line end is thrown away; what follows it stays waiting.
    while (!inStep && nextChar(batch)) {
        const char c = varlin_def.RxChar.at(0);
        if (c == '\n') {
            lfSeen();
        } else if (c == '\r') {
            crSeen();
            inStep = ++LineEndCount > 3;
        }
    }
    if (inStep)
        endOfSync();
    else if (stopSeen())
        endSequence();
}

void AcquisitionLoop::endOfSync() {
    if (stopSeen()) {
        endSequence();
        return;
    }
    m_view.setStateText(QStringLiteral("RcvData..."));
    varlin_def.LineBuffer.clear();
    varlin_def.RxChar.clear();
    m_charSinceLineEnd = false;
    m_phase = Phase::Receive;
    receivePass();
}

void AcquisitionLoop::receivePass() {
    Batch batch;
    while (m_phase == Phase::Receive && nextChar(batch))
        handleChar();
}

void AcquisitionLoop::goIdle() {
    m_phase = Phase::Idle;
    m_lfHint.stop();
    m_deviceAway = false;
    updateRetry();
}

void AcquisitionLoop::endSequence() {
    m_phase = Phase::Ended;
    m_sleep.stop();
    m_retry.stop();
    m_lfHint.stop();
    m_link.closePort();
    m_view.endProgram();
}

void AcquisitionLoop::handleChar() {
    const char c = varlin_def.RxChar.at(0);
    if (m_skipToLineEnd) {
        m_skipToLineEnd = c != '\r';
        return;
    }
    if (c == '\r') {
        crSeen();
        m_lineCut = false;
        lineEnd();
        return;
    }
    if (c == '\n')
        lfSeen();
    // Codes 0 to 15 are line noise (LF, tab, NUL); bytes 128-255 are text of the code page.
    const bool text = static_cast<unsigned char>(c) > 15;
    // A full line is recorded when more text comes, so one of exactly the bound is still whole.
    if (text && varlin_def.LineBuffer.size() == kMaxLineBytes)
        cutLongLine();
    m_charSinceLineEnd = true;
    if (varlin_def.LineBuffer.isEmpty())
        LineStamp = arrivalStamp();
    if (text)
        varlin_def.LineBuffer += c;
}

void AcquisitionLoop::cutLongLine() {
    if (!std::exchange(m_lineCut, true))
        m_link.tell(
            QStringLiteral("Line longer than %1 bytes recorded in parts").arg(kMaxLineBytes));
    lineEnd();
}

void AcquisitionLoop::crSeen() {
    m_lfSinceCr = 0;
    m_sinceCr.start();
    m_lfHint.stop();
    if (std::exchange(m_lfHintShown, false))
        m_view.setTitleText(QStringLiteral("."));
}

void AcquisitionLoop::lfSeen() {
    if (++m_lfSinceCr != kLfHintCount || m_lfHintShown)
        return;
    m_lfHint.start(static_cast<int>(std::max<qint64>(0, kLfHintAfterMs - m_sinceCr.elapsed())));
}

void AcquisitionLoop::lineEnd() {
    // A line with no character of its own gets the time of its line end, not an older line's.
    if (!m_charSinceLineEnd)
        LineStamp = arrivalStamp();
    RecordText = varlin_def.StampDateTime == kTrue ? LineStamp + "," + varlin_def.LineBuffer
                                                   : varlin_def.LineBuffer;
    const bool write = SkipFirstRecord != kTrue;
    SkipFirstRecord = kFalse;
    // Its file is that of the moment its line end arrived, however late the loop gets to it;
    // the writing is the storage thread's.
    m_store.lineEnd(RecordText, write, m_lineArrivalMs, m_port.lastCharArrivalMs(),
                    RecordText.size() - varlin_def.LineBuffer.size());
    m_view.showRecord(RecordText);
    if (write)
        m_view.traceRecord(varlin_def.LineBuffer, m_lineArrivalMs);
    varlin_def.LineBuffer.clear();
    m_charSinceLineEnd = false;
}

QByteArray AcquisitionLoop::arrivalStamp() {
    // When the character reached the computer, not when the loop got to it: a message box may
    // have held the loop meanwhile.
    const qint64 at = m_port.lastCharArrivalMs();
    m_lineArrivalMs = at;
    if (at == CommPort::kNoArrival)
        return {};
    return stampText(m_localTime.at(at), varlin_def.StampMillis == kTrue);
}

void AcquisitionLoop::onDeviceRemoved() {
    if (m_phase != Phase::Sync && m_phase != Phase::Receive)
        return;
    // A pass takes what the port had received, and the passes after it what still comes of
    // it; the retry timer looks for the device again.
    m_deviceAway = true;
    updateRetry();
    wake();
}

void AcquisitionLoop::retryTick() {
    // Never inside a pass held by a message box: the pass owns DataFile and the port.
    if (m_inPass)
        return;
    if (m_deviceAway)
        reconnect();
    updateRetry();
}

void AcquisitionLoop::reconnect() {
    // Opening drops what the port still holds of the old device: take that first.
    if (m_port.bytesWaiting() > 0 || !m_link.reopen())
        return;
    m_deviceAway = false;
    // The line in progress lost its middle; in sync the line ends are simply counted on.
    if (m_phase == Phase::Receive) {
        varlin_def.LineBuffer.clear();
        m_charSinceLineEnd = false;
        m_skipToLineEnd = true;
    }
}

void AcquisitionLoop::updateRetry() {
    const bool needed = m_phase != Phase::Ended && m_deviceAway;
    if (!needed)
        m_retry.stop();
    else if (!m_retry.isActive())
        m_retry.start();
}
