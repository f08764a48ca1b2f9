#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

class CommPort;
class MessageSink;

/// The main window's procedures around its port: Init_Comm, the report of line events,
/// Send and the close-port rule.
class SerialLink : public QObject {
    Q_OBJECT
public:
    SerialLink(CommPort& port, MessageSink& messages, QObject* parent = nullptr);

    /// Configures the port from PortNumber and BaudRate and opens it; reports the last
    /// failing step once and always returns normally.
    void Init_Comm();
    /// If the port is open, close it.
    void closePort();
    /// Sends text unchanged, one byte per character; empty sends nothing.
    void send(const QByteArray& text);

    /// The fixed text of a line error code, or an empty string for any other code.
    static QString lineErrorText(int16_t code);

Q_SIGNALS:
    /// The new caption of lbl_title after a line event.
    void lineMessage(const QString& caption);

private:
    void OnComm();

    CommPort& m_port;
    MessageSink& m_messages;
};
