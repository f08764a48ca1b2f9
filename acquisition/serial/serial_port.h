// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/platform/platform_serial.h"
#include "acquisition/serial/arrival_ledger.h"
#include "acquisition/serial/comm_port.h"
#include "acquisition/serial/line_events.h"

#include <QQueue>
#include <QString>
#include <QTimer>
#include <functional>

class Clock;

/// In the program on the reader's thread, behind ThreadedPort. The serial layer on the system's
/// serial device class (LinuxSerialPort on Linux): the port operations the program uses, the
/// arrival time of every received byte, and line events from the driver's line counters and modem
/// lines.
class SerialPort final : public CommPort {
    Q_OBJECT
public:
    /// Port n is the n-th device of `scan` (the system's own numbering when empty).
    explicit SerialPort(const Clock& clock, PortScan scan = {}, QObject* parent = nullptr);
    ~SerialPort() override;

    int32_t selectPort(int16_t portNumber) override;
    int32_t setLineSettings(const QByteArray& settings) override;
    int32_t setReadLength(int16_t length) override;
    int32_t setDtr(bool on) override;
    int32_t setRts(bool on) override;
    int32_t setReceiveThreshold(int16_t count) override;
    int32_t setSendThreshold(int16_t count) override;
    int32_t open() override;
    int32_t reopenDevice() override;
    SerialDevice openedDevice() const override { return m_device; }
    QList<SerialDevice> presentDevices() const override { return m_scan(); }
    bool identityShared() const override { return m_bySocket; }
    bool sameKindElsewhere() const override;
    int32_t close() override;
    bool isOpen() const override;
    int32_t discardReceived() override;
    int16_t bytesWaiting() override;
    void collectReceived() override;
    bool readByte(char& c) override;
    qint64 lastCharArrivalMs() const override { return m_lastCharArrival; }
    int32_t sendText(const QByteArray& text) override;
    int16_t latestEvent() const override;
    bool pacesDataReceived() const override;

    /// Seam for tests: queue an event as if the line had raised it.
    void injectEvent(int16_t code);

private:
    struct LineFormat {
        qint32 baud = 9600;
        SystemSerialPort::Parity parity = SystemSerialPort::NoParity;
        SystemSerialPort::DataBits dataBits = SystemSerialPort::Data8;
        SystemSerialPort::StopBits stopBits = SystemSerialPort::OneStop;
    };
    static bool parseLineFormat(const QByteArray& text, LineFormat& format);
    int32_t applyLineFormat();
    int32_t applyModemLine(int line, bool on); // a ModemLine bit
    int32_t openDevice(const SerialDevice& device, bool bySocket);
    void dropReceived(); // and forget the lost device
    bool knownBySocket() const;
    static bool sameKind(const SerialDevice& a, const SerialDevice& b);
    int32_t openFailureCode(const QString& device) const;
    void startWatching();
    void pollLine();
    void onPortError(SystemSerialPort::SerialPortError error);
    void releaseLostPort();
    void closeDevice();
    void queueEvent(int16_t code);
    void deliverNextEvent();
    bool takeFromPort();
    void noteArrivals();

    const Clock& m_clock;
    PortScan m_scan;
    SerialDevice m_device;   // the one last opened
    bool m_bySocket = false; // another device shared its identity: it is known by its socket
    QStringList m_kindSocketsAtOpen; // where adapters of its kind were at START
    SystemSerialPort m_port;
    QTimer m_pollTimer;
    LineFormat m_format;
    int16_t m_portNumber = 1;
    int16_t m_readLength = 1;
    int16_t m_receiveThreshold = 0;
    int16_t m_sendThreshold = 0;
    bool m_dtr = true;
    bool m_rts = true;
    bool m_lost = false; // the device vanished; the port counts as closed
    // Taken from Qt in one piece and handed out byte by byte; after the device vanished, what
    // it had received.
    QByteArray m_taken;
    qsizetype m_takenAt = 0;
    bool m_countersWatched = false;
    bool m_modemLinesWatched = false;
    LineCounters m_counters;
    int m_modemLines = 0; // ModemLine bits
    QQueue<int16_t> m_pendingEvents;
    bool m_deliveryScheduled = false;
    int16_t m_latestEvent = 0;
    ArrivalLedger m_arrivals; // of the unread bytes, m_taken's and then Qt's
    qint64 m_lastCharArrival = kNoArrival;
};
