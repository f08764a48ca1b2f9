// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/platform/serial_device.h"

#include <QByteArray>
#include <QObject>
#include <cstdint>
#include <limits>

/// The operations the program uses on its serial port. Operations that can fail return a
/// code (0 on success, otherwise one of the codes in serial_errors.h); none of them waits for
/// the line, and none of them fails loudly on a closed port.
class CommPort : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual int32_t selectPort(int16_t portNumber) = 0;
    virtual int32_t setLineSettings(const QByteArray& settings) = 0; // "9600,N,8,1"
    virtual int32_t setReadLength(int16_t length) = 0;
    virtual int32_t setDtr(bool on) = 0;
    virtual int32_t setRts(bool on) = 0;
    virtual int32_t setReceiveThreshold(int16_t count) = 0;
    virtual int32_t setSendThreshold(int16_t count) = 0;
    virtual int32_t open() = 0;
    /// Opens the device that was last opened, wherever it appears now, never another one in
    /// its place: kInvalidPort while it is absent.
    virtual int32_t reopenDevice() = 0;
    /// The device last opened (still known after it went away); empty before any.
    virtual SerialDevice openedDevice() const { return {}; }
    /// Another device present at the last open had the opened one's identity (clones report
    /// one serial number), so it is known by its USB socket too.
    virtual bool identityShared() const { return false; }
    /// The device last opened is known by its USB socket (it has no serial number, or shares
    /// it), and an adapter of its kind (vendor and product) is present at another socket.
    virtual bool sameKindElsewhere() const { return false; }
    /// The serial devices present now, in port order, for the operator to tell them apart.
    virtual QList<SerialDevice> presentDevices() const { return {}; }
    virtual int32_t close() = 0;
    virtual bool isOpen() const = 0;
    virtual int32_t discardReceived() = 0;
    virtual int16_t bytesWaiting() = 0;
    /// The end of a run: makes what the port has received count in bytesWaiting() now, and takes
    /// nothing more from the line until the close. A port read on another thread hands over
    /// what that thread still holds.
    virtual void collectReceived() {}
    /// Removes the oldest waiting byte into `c`; false when none was read.
    virtual bool readByte(char& c) = 0;
    /// When the byte last read reached the computer, in milliseconds since the epoch: the port
    /// notes the clock as it collects received bytes, also while a message box holds the
    /// reader. kNoArrival before any byte.
    virtual qint64 lastCharArrivalMs() const = 0;
    static constexpr qint64 kNoArrival = std::numeric_limits<qint64>::min();
    virtual int32_t sendText(const QByteArray& text) = 0;
    virtual int16_t latestEvent() const = 0;
    /// dataReceived comes at most every few milliseconds already, with the bytes' times noted
    /// as they came: whoever passes it on need not space it out again.
    virtual bool pacesDataReceived() const { return false; }

Q_SIGNALS:
    /// A line error or line-state change; latestEvent() holds its code while it is delivered.
    void lineEvent();
    /// The open port's device went away. The port is closed; what it had received before
    /// stays readable through bytesWaiting() and readByte() until the next open.
    void deviceRemoved();
    /// Received bytes have arrived since the last report; the reader wakes on it.
    void dataReceived();
};
