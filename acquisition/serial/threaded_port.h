// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/serial/comm_port.h"

#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

/// On the window's thread, with the reader's thread behind it: a port read on a thread of its own.
/// The inner port lives there: it collects what the line brings and notes when each byte arrived
/// whatever the window's thread is doing (a settings window listing a share that hangs, a message
/// box, a long repaint), and hands it here, where the window's thread reads it. Every other
/// operation is carried out on the reader's thread while the caller waits; none of them waits for
/// the line.
class ThreadedPort final : public CommPort {
    Q_OBJECT
public:
    /// Takes `inner` (without a parent) to the reader's thread, where it also ends.
    explicit ThreadedPort(std::unique_ptr<CommPort> inner, QObject* parent = nullptr);
    ~ThreadedPort() override;
    ThreadedPort(const ThreadedPort&) = delete;
    ThreadedPort& operator=(const ThreadedPort&) = delete;

    // Least time between two notices of received data to the window's thread.
    static constexpr qint64 kNoticeGapMs = 20;
    // Most bytes taken and not yet read by the window's thread. Past it the reader leaves
    // them to Qt, whose buffer is bounded too, and then to the driver: a flood faster than the
    // window frames it is held back there instead of filling memory. At serial speeds it is
    // minutes of a window's thread that does not read.
    static constexpr qsizetype kMaxTakenBytes = qsizetype(1) << 20;

    int32_t selectPort(int16_t portNumber) override;
    int32_t setLineSettings(const QByteArray& settings) override;
    int32_t setReadLength(int16_t length) override;
    int32_t setDtr(bool on) override;
    int32_t setRts(bool on) override;
    int32_t setReceiveThreshold(int16_t count) override;
    int32_t setSendThreshold(int16_t count) override;
    int32_t open() override;
    int32_t reopenDevice() override;
    SerialDevice openedDevice() const override;
    bool identityShared() const override;
    bool sameKindElsewhere() const override;
    QList<SerialDevice> presentDevices() const override;
    int32_t close() override;
    bool isOpen() const override;
    int32_t discardReceived() override;
    int16_t bytesWaiting() override;
    void collectReceived() override;
    bool readByte(char& c) override;
    qint64 lastCharArrivalMs() const override { return m_lastArrival; }
    int32_t sendText(const QByteArray& text) override;
    int16_t latestEvent() const override { return m_latestEvent; }

private:
    template <typename F> auto onReader(F operation) const;
    // On the reader's thread: what the inner port holds, handed over.
    void take();
    void notify();
    void sendNotice();
    void dropTaken(); // with the lock held
    int32_t afterOpen(int32_t code);

    struct Chunk {
        QByteArray bytes;
        qint64 arrivalMs;
    };
    QThread m_thread;
    CommPort* m_inner;         // on m_thread
    bool m_innerPaces = false; // its dataReceived is spaced out already

    mutable std::mutex m_mutex;
    std::deque<Chunk> m_chunks;
    qsizetype m_chunkAt = 0; // of the first chunk, handed out
    qsizetype m_waiting = 0;
    std::atomic<bool> m_told{false}; // dataReceived is on its way to the window's thread
    bool m_full = false;             // with m_mutex: the reader stopped taking at the bound
    QTimer* m_noticeTimer;           // the reader's: the next notice, when one came just now
    QElapsedTimer m_sinceNotice;     // the reader's

    // The window's thread's own.
    qint64 m_lastArrival = kNoArrival;
    int16_t m_latestEvent = 0;
};
