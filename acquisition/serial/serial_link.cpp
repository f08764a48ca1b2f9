// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/serial/serial_link.h"

#include "acquisition/core/loop_view.h"
#include "acquisition/core/message_sink.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/platform_files.h"
#include "acquisition/serial/comm_port.h"
#include "acquisition/serial/line_events.h"
#include "acquisition/serial/serial_errors.h"

SerialLink::SerialLink(CommPort& port, MessageSink& messages, LoopView& view, QObject* parent)
    : QObject(parent), m_port(port), m_messages(messages), m_view(view) {
    connect(&m_port, &CommPort::lineEvent, this, &SerialLink::OnComm);
    connect(&m_port, &CommPort::deviceRemoved, this, &SerialLink::onDeviceRemoved);
}

void SerialLink::Init_Comm() {
    // A device named by its path is whichever port it is now: numbers follow plugging order.
    if (!varlin_def.PortPath.isEmpty()) {
        const QString path = decodePath(varlin_def.PortPath);
        varlin_def.PortNumber = static_cast<int16_t>(portNumberOf(m_port.presentDevices(), path));
        if (varlin_def.PortNumber == 0)
            m_view.journal(JournalLevel::Error, QStringLiteral("No serial device at %1").arg(path));
    }
    m_portNumber = varlin_def.PortNumber;
    m_baudRate = varlin_def.BaudRate;
    int32_t lastError = configureAndOpen(Open::PortNumber);
    // The ports may have been numbered anew between the look and the open (an adapter plugged
    // in while udev settles at boot): another instrument's lines must not go into these files.
    if (!varlin_def.PortPath.isEmpty() && m_port.isOpen() &&
        portNumberOf({m_port.openedDevice()}, decodePath(varlin_def.PortPath)) != 1) {
        m_port.close();
        m_view.journal(
            JournalLevel::Error,
            QStringLiteral("COM%1 became another device while it opened").arg(m_portNumber));
        lastError = SerialError::kInvalidPort;
    }
    const bool open = m_port.isOpen();
    m_view.showPortDevice(open ? m_port.openedDevice().description : QString());
    if (open && m_port.identityShared())
        tell(QStringLiteral("Another adapter reports the same serial number; this one is known "
                            "by its USB socket"));
    Q_EMIT initialised(open);
    if (lastError == 0)
        return;
    m_messages.showMessage(QStringLiteral("Error : <COM%1> %2").arg(m_portNumber).arg(lastError));
}

bool SerialLink::reopen() {
    configureAndOpen(Open::SameDevice);
    if (!m_port.isOpen()) {
        // Still absent or busy: the caller tries again later. An adapter known by its socket
        // that comes back in another is another device to us; the operator is told once.
        if (++m_failedReopens >= kTriesBeforeLookingElsewhere && !m_toldElsewhere &&
            m_port.sameKindElsewhere()) {
            m_toldElsewhere = true;
            tell(QStringLiteral("The same kind of adapter is at another USB socket; STOP and "
                                "START will use it"));
        }
        return false;
    }
    m_view.showPortDevice(m_port.openedDevice().description);
    tell(QStringLiteral("Device reconnected"));
    return true;
}

int32_t SerialLink::configureAndOpen(Open which) {
    // Every step runs even after a failure; the operator sees only the last failure's code.
    int32_t lastError = 0;
    auto step = [&lastError](int32_t code) {
        if (code != 0)
            lastError = code;
    };
    step(m_port.selectPort(m_portNumber));
    step(m_port.setLineSettings(m_baudRate + ",N,8,1"));
    step(m_port.setReadLength(1));
    step(m_port.setDtr(true));
    step(m_port.setRts(true));
    step(m_port.setReceiveThreshold(0));
    step(m_port.setSendThreshold(0));
    step(which == Open::PortNumber ? m_port.open() : m_port.reopenDevice());
    return lastError;
}

void SerialLink::closePort() {
    if (m_port.isOpen())
        m_port.close();
}

void SerialLink::send(const QByteArray& text, const QByteArray& lineEnd) {
    if (!text.isEmpty())
        m_port.sendText(text + lineEnd);
}

void SerialLink::tell(const QString& text) {
    m_view.setTitleText(QStringLiteral("Com%1 : %2").arg(m_portNumber).arg(text));
}

void SerialLink::OnComm() {
    const QString text = lineErrorText(m_port.latestEvent());
    if (text.isEmpty()) {
        m_view.setTitleText(QString());
        return;
    }
    tell(text);
    m_messages.beep();
}

void SerialLink::onDeviceRemoved() {
    m_failedReopens = 0;
    m_toldElsewhere = false;
    tell(QStringLiteral("Device removal detected"));
    m_messages.beep();
}
