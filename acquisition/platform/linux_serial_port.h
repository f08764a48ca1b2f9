// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The serial device on Linux: the part of QSerialPort's interface that the serial layer uses,
// on the tty driver directly (linux/linux_serial_port.cpp). A thread of its own waits for the line
// with poll() and reads it with read(), noting when each chunk came; the owner's thread hears of
// new bytes at most every kReadyGapMs, and takes them with the times they came. QSerialPort wakes
// its owner's thread for every few bytes, through Qt's notifier, and that wakeup costs more than
// the record.

#include "acquisition/platform/line_counters.h"

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QLockFile;

class LinuxSerialPort : public QObject {
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

    // Least time between two readyRead: the owner takes all there is when it hears, so a
    // UART's trickle does not wake it for every few bytes. The bytes keep the times they came.
    static constexpr int kReadyGapMs = 20;

    explicit LinuxSerialPort(QObject* parent = nullptr);
    ~LinuxSerialPort() override;
    LinuxSerialPort(const LinuxSerialPort&) = delete;
    LinuxSerialPort& operator=(const LinuxSerialPort&) = delete;

    void setPortName(const QString& name) { m_name = name; }
    void setReadBufferSize(qint64 size);
    bool setFlowControl(FlowControl) { return true; } // the only one the program uses
    bool setBaudRate(qint32 baud);
    bool setParity(Parity parity);
    bool setDataBits(DataBits bits);
    bool setStopBits(StopBits bits);

    bool open(QIODevice::OpenMode mode);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    SerialPortError error() const { return m_error; }
    void clearError() { m_error = NoError; }

    bool clear(Direction direction);
    qint64 bytesAvailable() const;
    qint64 read(char* data, qint64 size);
    QByteArray read(qint64 size);
    qint64 write(const QByteArray& bytes);
    /// What could not be written at once goes out from the reading thread as the driver takes
    /// it; nothing here waits for the line.
    bool flush() { return isOpen(); }
    /// The end of a run: reads now what the driver holds, then nothing more until the close,
    /// so that no byte leaves the line that the run will not record. What was read stays.
    void stopReading();

    /// The open device's descriptor, -1 when closed.
    int handle() const { return m_fd; }

    /// The clock the reading thread notes arrivals by (milliseconds since the epoch); the
    /// system's when none is set. Set it while the port is closed.
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
    void errorOccurred(LinuxSerialPort::SerialPortError error);

private:
    bool applySettings();
    void run();                   // the reading thread
    qint64 readFromDriver();      // with m_mutex held
    void announce(int64_t nowNs); // with m_mutex held: readyRead, on its way
    void stopThread();

    QString m_name;
    qint64 m_readBufferSize = 0;
    qint32 m_baud = 9600;
    Parity m_parity = NoParity;
    DataBits m_dataBits = Data8;
    StopBits m_stopBits = OneStop;
    SerialPortError m_error = NoError;
    int m_fd = -1;
    int m_wake = -1; // an eventfd: the reading thread stops, or has something to write
    std::unique_ptr<QLockFile> m_lock;
    QByteArray m_restore; // the driver's settings before the open, put back at the close
    std::function<qint64()> m_nowMs;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    QByteArray m_buffer; // read and not yet taken
    qsizetype m_bufferAt = 0;
    std::deque<Arrival> m_arrivals; // of m_buffer's bytes not yet handed out by takeArrivals
    QByteArray m_unsent;
    bool m_fresh = false;      // bytes came that no readyRead on its way covers
    bool m_announced = false;  // a readyRead is on its way
    int64_t m_lastReadyNs = 0; // when the last one was sent
    bool m_lineGone = false;   // the device went away under the reading thread
    bool m_stopping = false;
    uint64_t m_generation = 0; // of the open: what was sent for an earlier one is ignored
};
