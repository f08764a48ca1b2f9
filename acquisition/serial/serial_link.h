// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

class CommPort;
class LoopView;
class MessageSink;

/// On the window's thread: the main window's procedures around its port: Init_Comm, the report of
/// line events, Send and the close-port rule. What it has to say about the line goes to lbl_title.
class SerialLink : public QObject {
    Q_OBJECT
public:
    SerialLink(CommPort& port, MessageSink& messages, LoopView& view, QObject* parent = nullptr);

    /// Configures the port from PortNumber and BaudRate and opens it; reports the last
    /// failing step once and always returns normally.
    void Init_Comm();
    /// Init_Comm's steps again, with the settings of the last Init_Comm and without a message,
    /// for a device that went away: only that same device is opened, under whatever node it
    /// comes back. Shows the reconnection in lbl_title; true once open.
    bool reopen();
    /// If the port is open, close it.
    void closePort();
    /// Sends text unchanged, one byte per character, followed by `lineEnd` in the same write;
    /// an empty text sends nothing, whatever the end.
    void send(const QByteArray& text, const QByteArray& lineEnd = {});
    /// Shows "Com<n> : <text>" in lbl_title, n the port the line was opened on.
    void tell(const QString& text);

    // A device known by its socket that stays away this many tries (one a second) is looked
    // for elsewhere.
    static constexpr int kTriesBeforeLookingElsewhere = 10;

Q_SIGNALS:
    /// Init_Comm has run; whether the port is open now.
    void initialised(bool portOpen);

private:
    // The port START chose, or the device it found there, wherever that is now.
    enum class Open { PortNumber, SameDevice };
    int32_t configureAndOpen(Open which);
    void OnComm();
    void onDeviceRemoved();

    CommPort& m_port;
    MessageSink& m_messages;
    LoopView& m_view;
    // What the port was opened with: a new PortNumber from the settings window waits for START,
    // and every message about the line names the port it is about.
    int16_t m_portNumber = 0;
    QByteArray m_baudRate;
    int m_failedReopens = 0; // since the device went away
    bool m_toldElsewhere = false;
};
