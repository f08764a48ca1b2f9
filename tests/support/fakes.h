// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/core/clock.h"
#include "acquisition/core/loop_view.h"
#include "acquisition/core/message_sink.h"
#include "acquisition/platform/file_calls.h"
#include "acquisition/serial/comm_port.h"
#include "acquisition/serial/serial_errors.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

/// Records messages and beeps instead of showing them.
class RecordingSink final : public MessageSink {
public:
    void showMessage(const QString& text) override {
        messages << text;
        if (whileShown)
            whileShown();
    }
    void beep() override { ++beeps; }

    QStringList messages;
    int beeps = 0;
    std::function<void()> whileShown; // what the operator does about the box
};

/// Records what the loop shows instead of showing it.
class RecordingView final : public LoopView {
public:
    void setStateText(const QString& text) override { states << text; }
    void showRecord(const QByteArray& record) override {
        if (keepRecords)
            records << record;
        lastRecord = record;
        ++recordCount;
    }
    void setTitleText(const QString& text) override { titles << text; }
    void endProgram() override { ++endCalls; }
    void showFolderShared(bool shared) override { folderShared << shared; }
    void showStorageState(const QString& word) override { storageWords << word; }
    void showAsking(const QString& word) override { askingWords << word; }

    QList<bool> folderShared;
    QStringList storageWords;
    QStringList askingWords;
    QStringList states;
    QStringList titles;
    QList<QByteArray> records;
    bool keepRecords = true; // false: only the last and the count, for a flood
    QByteArray lastRecord;
    qsizetype recordCount = 0;
    int endCalls = 0;
};

/// The system's file calls, watched and steered from the test, on whatever thread makes them:
/// every flush of a data file is recorded (when, on a monotonic clock started with the
/// recorder, and what the file held then; folders with `folder` set); opens and writes can be
/// held until released, opens and flushes made to fail, and flushes made slow. Calls made on the
/// window's (the application's) thread are counted: it must make none, as the disk may hang.
class RecordingFileCalls final : public FileCalls {
public:
    RecordingFileCalls() { clock.start(); }
    int openForAppend(const QByteArray& path, int& error) override;
    int fileLength(int fd, qint64& length) override;
    int appendWhole(int fd, const QByteArray& bytes) override;
    int offsetOf(int fd, qint64& offset) override;
    int closeFile(int fd) override;
    int dataSync(int fd) override;
    int readAt(const QByteArray& path, qint64 offset, qsizetype size, QByteArray& bytes) override;
    int removeFile(const QByteArray& path) override;

    struct Flush {
        qint64 atMs;
        bool folder;
        QByteArray contents;
    };
    QList<Flush> flushes() const;
    /// Opens and writes wait from now until release(); with `opens` false, writes alone.
    void hold(bool opens = true);
    void release();
    /// Calls waiting for release() now.
    int held() const;

    std::atomic<int> failOpens{0}; // the next opens fail with ENOENT
    std::atomic<int> failSyncs{0}; // the next flushes of data files fail with EIO
    // The next writes reach the file, then report EIO, as a network file system may.
    std::atomic<int> landThenFail{0};
    std::atomic<bool> full{false};       // appends to data files fail with ENOSPC
    std::atomic<int> dataAppends{0};     // appends to data files tried, failed ones too
    std::atomic<int> syncMs{0};          // each flush takes this long
    std::atomic<int> onWindowsThread{0}; // calls made there
    QElapsedTimer clock;

private:
    void waitWhileHeld(bool open);
    void noteThread();

    mutable std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_holding = false;
    bool m_holdingOpens = false;
    int m_held = 0;
    QList<Flush> m_flushes;
};

/// A clock the test sets and moves.
class FakeClock final : public Clock {
public:
    qint64 nowMs() const override { return current.toMSecsSinceEpoch(); }
    void advanceMs(qint64 ms) { current = current.addMSecs(ms); }

    QDateTime current{QDate(2026, 12, 7), QTime(10, 0, 0, 0)};
};

/// An in-memory port: the test feeds received bytes and reads what was sent; any step can be
/// told to fail with a code. Bytes fed with a time arrived then; bytes put straight into
/// `received` arrive when the port first sees them, by `clock`, and nobody is told of them
/// (bytes that were waiting before START).
class FakeCommPort final : public CommPort {
    Q_OBJECT
public:
    int32_t selectPort(int16_t n) override {
        port = n;
        return failSelect;
    }
    int32_t setLineSettings(const QByteArray& s) override {
        settings = s;
        return failSettings;
    }
    int32_t setReadLength(int16_t) override { return 0; }
    int32_t setDtr(bool on) override {
        dtr = on;
        return 0;
    }
    int32_t setRts(bool on) override {
        rts = on;
        return 0;
    }
    int32_t setReceiveThreshold(int16_t) override { return 0; }
    int32_t setSendThreshold(int16_t) override { return 0; }
    int32_t open() override;
    int32_t reopenDevice() override {
        ++reopens;
        return open();
    }
    int32_t close() override;
    bool isOpen() const override { return opened; }
    int32_t discardReceived() override;
    int16_t bytesWaiting() override;
    bool readByte(char& c) override;
    qint64 lastCharArrivalMs() const override { return m_lastArrival; }
    int32_t sendText(const QByteArray& text) override;
    int16_t latestEvent() const override { return eventCode; }

    void raise(int16_t code);
    /// The instrument's bytes reach the computer, now by `clock` or at `at`, and the port says
    /// so (dataReceived), as a real port does when it collects them.
    void feed(const QByteArray& bytes);
    void feed(const QByteArray& bytes, const QDateTime& at);
    /// The device goes away: the port closes, what it had received stays readable.
    void unplug();

    QByteArray received; // bytes waiting to be read
    QByteArray sent;
    int sends = 0; // writes that reached the open port
    QByteArray settings;
    int16_t port = 0;
    bool dtr = false;
    bool rts = false;
    bool opened = false;
    bool unplugged = false;
    int opens = 0;
    int openCalls = 0; // failed ones included
    int reopens = 0;   // of the device that went away
    int closes = 0;
    int polls = 0; // calls of bytesWaiting(), to see whether anyone still polls
    int32_t failSelect = 0;
    int32_t failSettings = 0;
    int32_t failOpen = 0;
    int16_t eventCode = 0;
    const Clock* clock = nullptr;

private:
    void noteArrivals();

    QList<qint64> m_arrivals; // one for each byte of `received`
    qint64 m_lastArrival = kNoArrival;
};

/// Passes every operation to a real port and counts the loop's polls and the port's events, so
/// a test can tell a quiet logger from one that spins or storms on a failing line. While held,
/// the loop sees nothing waiting: the port reads on, the loop falls behind.
class CountingPort final : public CommPort {
    Q_OBJECT
public:
    explicit CountingPort(CommPort& inner) : m_inner(inner) {
        connect(&m_inner, &CommPort::lineEvent, this, [this] {
            ++events;
            Q_EMIT lineEvent();
        });
        connect(&m_inner, &CommPort::deviceRemoved, this, &CommPort::deviceRemoved);
        connect(&m_inner, &CommPort::dataReceived, this, &CommPort::dataReceived);
    }

    int32_t selectPort(int16_t n) override { return m_inner.selectPort(n); }
    int32_t setLineSettings(const QByteArray& s) override { return m_inner.setLineSettings(s); }
    int32_t setReadLength(int16_t n) override { return m_inner.setReadLength(n); }
    int32_t setDtr(bool on) override { return m_inner.setDtr(on); }
    int32_t setRts(bool on) override { return m_inner.setRts(on); }
    int32_t setReceiveThreshold(int16_t n) override { return m_inner.setReceiveThreshold(n); }
    int32_t setSendThreshold(int16_t n) override { return m_inner.setSendThreshold(n); }
    int32_t open() override { return m_inner.open(); }
    // The loop reconnects only once it has taken what the old device sent; a hold hides that
    // from bytesWaiting(), not from the reconnect.
    int32_t reopenDevice() override {
        return held && m_inner.bytesWaiting() > 0 ? SerialError::kInvalidPort
                                                  : m_inner.reopenDevice();
    }
    SerialDevice openedDevice() const override { return m_inner.openedDevice(); }
    QList<SerialDevice> presentDevices() const override { return m_inner.presentDevices(); }
    bool identityShared() const override { return m_inner.identityShared(); }
    bool sameKindElsewhere() const override { return m_inner.sameKindElsewhere(); }
    int32_t close() override { return m_inner.close(); }
    bool isOpen() const override { return m_inner.isOpen(); }
    int32_t discardReceived() override { return m_inner.discardReceived(); }
    int16_t bytesWaiting() override {
        ++polls;
        return held ? int16_t(0) : m_inner.bytesWaiting();
    }
    bool readByte(char& c) override { return m_inner.readByte(c); }
    qint64 lastCharArrivalMs() const override { return m_inner.lastCharArrivalMs(); }
    int32_t sendText(const QByteArray& text) override { return m_inner.sendText(text); }
    int16_t latestEvent() const override { return m_inner.latestEvent(); }

    /// The loop may see what the port read meanwhile: the port tells it, as of new bytes.
    void release() {
        held = false;
        Q_EMIT dataReceived();
    }

    int polls = 0;  // one per loop pass that looks at the port, more within a busy pass
    int events = 0; // line events passed on to the window
    bool held = false;

private:
    CommPort& m_inner;
};
