#pragma once

#include "acquisition/comm_port.h"

#include <QString>
#include <functional>

class QSerialPort;

/// Maps a port number (1 is "COM1") to a device path, or an empty string for none.
using PortResolver = std::function<QString(int16_t portNumber)>;

/// The serial layer on QSerialPort: the port operations the program uses, and line events
/// from the kernel's line counters and modem lines.
class SerialPort final : public CommPort {
    Q_OBJECT
public:
    explicit SerialPort(PortResolver resolver = {}, QObject* parent = nullptr);
    ~SerialPort() override;

    int32_t selectPort(int16_t portNumber) override;
    int32_t setLineSettings(const QByteArray& settings) override;
    int32_t setReadLength(int16_t length) override;
    int32_t setDtr(bool on) override;
    int32_t setRts(bool on) override;
    int32_t setReceiveThreshold(int16_t count) override;
    int32_t setSendThreshold(int16_t count) override;
    int32_t open() override;
    int32_t close() override;
    bool isOpen() const override;
    int32_t discardReceived() override;
    int16_t bytesWaiting() override;
    QByteArray readChar() override;
    int32_t sendText(const QByteArray& text) override;
    int16_t latestEvent() const override;

    /// Seam for tests: queue an event as if the line had raised it.
    void injectEvent(int16_t code);

private:
    // ... the helper that implements this class adds its private members here.
};
