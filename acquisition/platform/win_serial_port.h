// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The serial device on Windows, where the program carries no Qt SerialPort: the part of
// QSerialPort's interface that the serial layer uses, on the Win32 communications API
// (platform_windows_serial.cpp). The serial layer drives it exactly as it drives QSerialPort.

#include "acquisition/platform/line_counters.h"

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class WinSerialPort : public QObject {
    Q_OBJECT
public:
    enum Parity { NoParity = 0, EvenParity = 2, OddParity = 3, SpaceParity = 4, MarkParity = 5 };
    enum DataBits { Data5 = 5, Data6 = 6, Data7 = 7, Data8 = 8 };
    enum StopBits { OneStop = 1, OneAndHalfStop = 3, TwoStop = 2 };
    enum FlowControl { NoFlowControl };
    enum Direction { Input = 1, Output = 2 };
    enum SerialPortError {
        NoError,
        DeviceNotFoundError,
        PermissionError,
        OpenError,
        WriteError,
        ReadError,
        ResourceError,
        UnsupportedOperationError
    };
    Q_ENUM(SerialPortError)

    explicit WinSerialPort(QObject* parent = nullptr);
    ~WinSerialPort() override;
    WinSerialPort(const WinSerialPort&) = delete;
    WinSerialPort& operator=(const WinSerialPort&) = delete;

    void setPortName(const QString& name) { m_name = name; }
    void setReadBufferSize(qint64 size);
    bool setFlowControl(FlowControl) { return true; } // the only one there is
    bool setBaudRate(qint32 baud);
    bool setParity(Parity parity);
    bool setDataBits(DataBits bits);
    bool setStopBits(StopBits bits);

    bool open(QIODevice::OpenMode mode);
    void close();
    bool isOpen() const { return m_line != nullptr; }
    SerialPortError error() const { return m_error; }
    void clearError() { m_error = NoError; }

    bool clear(Direction direction);
    qint64 bytesAvailable() const;
    qint64 read(char* data, qint64 size);
    QByteArray read(qint64 size);
    qint64 write(const QByteArray& bytes);
    /// Writing starts at once on the port's own thread; what is still unsent at a close goes
    /// out first, as a tty's close drains it.
    bool flush() { return isOpen(); }
    /// The end of a run: the port's own thread stops, so that no byte leaves the line that the
    /// run will not record. What it read stays; what it was sending still goes out.
    void stopReading();

    /// The open port, for the questions platform_serial.h asks of it.
    const WinSerialPort* handle() const { return isOpen() ? this : nullptr; }
    /// The Win32 handle of the open device, or null.
    void* nativeHandle() const;
    /// Sets or clears DTR (ModemLine::kDtr) or RTS; a later change of line settings keeps it.
    bool driveModemLine(int line, bool on) const;
    /// Line errors since the open, counted from the flags the driver reports (and clears) as
    /// the port reads.
    LineCounters lineCounters() const;

    /// The clock each chunk's arrival is read from, on the port's own thread as it reads.
    void setArrivalClock(std::function<qint64()> nowMs) { m_nowMs = std::move(nowMs); }
    /// Bytes read in one go, and when they came.
    struct Arrival {
        qint64 bytes;
        qint64 atMs;
    };
    /// The arrivals of the bytes read since the last call, oldest first: together exactly the
    /// bytes that bytesAvailable() counted then, and only those read since.
    std::vector<Arrival> takeArrivals();

Q_SIGNALS:
    void readyRead();
    void errorOccurred(WinSerialPort::SerialPortError error);

private:
    struct Line; // the open device and the thread that serves it
    bool applySettings();
    template <typename T> bool trySetting(T& setting, T value);
    void lineFailed(SerialPortError error);

    QString m_name;
    qint64 m_readBufferSize = 0;
    qint32 m_baud = 9600;
    Parity m_parity = NoParity;
    DataBits m_dataBits = Data8;
    StopBits m_stopBits = OneStop;
    SerialPortError m_error = NoError;
    std::function<qint64()> m_nowMs;
    std::unique_ptr<Line> m_line;
};
