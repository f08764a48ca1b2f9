// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/serial/threaded_port.h"

#include <algorithm>
#include <condition_variable>

namespace {
constexpr qsizetype kMaxWaitingCount = 32767;
}

ThreadedPort::ThreadedPort(std::unique_ptr<CommPort> inner, QObject* parent)
    : CommPort(parent), m_inner(inner.release()), m_innerPaces(m_inner->pacesDataReceived()) {
    m_thread.setObjectName(QStringLiteral("serial reader"));
    // The notice timer is the reader's, with the inner port as its parent.
    m_noticeTimer = new QTimer(m_inner);
    m_noticeTimer->setSingleShot(true);
    m_noticeTimer->setTimerType(Qt::PreciseTimer);
    // A notice held back by the gap carries what the port holds when it goes, told of or not:
    // bytes left behind would reach the window's thread a gap later.
    connect(m_noticeTimer, &QTimer::timeout, m_inner, [this] {
        take();
        sendNotice();
    });
    m_inner->moveToThread(&m_thread);
    // Handlers with the inner port as their context run on the reader's thread.
    connect(m_inner, &CommPort::dataReceived, m_inner, [this] { take(); });
    connect(m_inner, &CommPort::deviceRemoved, m_inner, [this] {
        take(); // what the device sent first, then the news that it went
        QMetaObject::invokeMethod(this, &CommPort::deviceRemoved, Qt::QueuedConnection);
    });
    connect(m_inner, &CommPort::lineEvent, m_inner, [this] {
        const int16_t code = m_inner->latestEvent();
        QMetaObject::invokeMethod(
            this,
            [this, code] {
                m_latestEvent = code;
                Q_EMIT lineEvent();
            },
            Qt::QueuedConnection);
    });
    m_thread.start();
}

namespace {
// Runs `operation` on `context`'s thread while the caller waits. Qt's queue orders the two
// threads through locks that a thread sanitizer cannot see in a Qt not built for it, and its
// blocking connection leaves the other thread reading the caller's stack after letting the
// caller go: here the hand-over is an atomic and the wait a condition, which it can follow.
template <typename F> void runAndWait(QObject* context, F&& operation) {
    std::atomic<bool> handed;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    handed.store(true, std::memory_order_release);
    QMetaObject::invokeMethod(
        context,
        [&] {
            (void)handed.load(std::memory_order_acquire);
            operation();
            const std::lock_guard lock(mutex);
            finished = true;
            done.notify_one();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
}
} // namespace

ThreadedPort::~ThreadedPort() {
    CommPort* inner = m_inner;
    runAndWait(inner, [inner] { delete inner; });
    m_thread.quit();
    m_thread.wait();
}

template <typename F> auto ThreadedPort::onReader(F operation) const {
    decltype(operation()) result{};
    runAndWait(m_inner, [&] { result = operation(); });
    return result;
}

int32_t ThreadedPort::selectPort(int16_t portNumber) {
    return onReader([&] { return m_inner->selectPort(portNumber); });
}

int32_t ThreadedPort::setLineSettings(const QByteArray& settings) {
    return onReader([&] { return m_inner->setLineSettings(settings); });
}

int32_t ThreadedPort::setReadLength(int16_t length) {
    return onReader([&] { return m_inner->setReadLength(length); });
}

int32_t ThreadedPort::setDtr(bool on) {
    return onReader([&] { return m_inner->setDtr(on); });
}

int32_t ThreadedPort::setRts(bool on) {
    return onReader([&] { return m_inner->setRts(on); });
}

int32_t ThreadedPort::setReceiveThreshold(int16_t count) {
    return onReader([&] { return m_inner->setReceiveThreshold(count); });
}

int32_t ThreadedPort::setSendThreshold(int16_t count) {
    return onReader([&] { return m_inner->setSendThreshold(count); });
}

int32_t ThreadedPort::open() {
    return onReader([this] { return afterOpen(m_inner->open()); });
}

int32_t ThreadedPort::reopenDevice() {
    return onReader([this] { return afterOpen(m_inner->reopenDevice()); });
}

int32_t ThreadedPort::afterOpen(int32_t code) {
    // A new device's bytes start afresh; a failed open keeps what the old one sent.
    if (m_inner->isOpen()) {
        const std::lock_guard lock(m_mutex);
        dropTaken();
    }
    return code;
}

SerialDevice ThreadedPort::openedDevice() const {
    return onReader([this] { return m_inner->openedDevice(); });
}

bool ThreadedPort::identityShared() const {
    return onReader([this] { return m_inner->identityShared(); });
}

bool ThreadedPort::sameKindElsewhere() const {
    return onReader([this] { return m_inner->sameKindElsewhere(); });
}

QList<SerialDevice> ThreadedPort::presentDevices() const {
    return onReader([this] { return m_inner->presentDevices(); });
}

int32_t ThreadedPort::close() {
    return onReader([this] {
        const int32_t code = m_inner->close();
        const std::lock_guard lock(m_mutex);
        dropTaken();
        return code;
    });
}

bool ThreadedPort::isOpen() const {
    return onReader([this] { return m_inner->isOpen(); });
}

int32_t ThreadedPort::discardReceived() {
    return onReader([this] {
        const int32_t code = m_inner->discardReceived();
        const std::lock_guard lock(m_mutex);
        dropTaken();
        return code;
    });
}

int16_t ThreadedPort::bytesWaiting() {
    const std::lock_guard lock(m_mutex);
    return static_cast<int16_t>(std::min(m_waiting, kMaxWaitingCount));
}

void ThreadedPort::collectReceived() {
    // After a take the reader is in the middle of, and whatever the inner port holds.
    onReader([this] {
        m_inner->collectReceived();
        take();
        return true;
    });
}

bool ThreadedPort::readByte(char& c) {
    const std::lock_guard lock(m_mutex);
    if (m_chunks.empty())
        return false;
    const Chunk& chunk = m_chunks.front();
    c = chunk.bytes.at(m_chunkAt++);
    m_lastArrival = chunk.arrivalMs;
    --m_waiting;
    if (m_chunkAt == chunk.bytes.size()) {
        m_chunks.pop_front();
        m_chunkAt = 0;
    }
    if (m_full && m_waiting <= kMaxTakenBytes / 2) {
        m_full = false; // the reader takes again what waits for it
        QMetaObject::invokeMethod(
            m_inner, [this] { take(); }, Qt::QueuedConnection);
    }
    return true;
}

int32_t ThreadedPort::sendText(const QByteArray& text) {
    return onReader([&] { return m_inner->sendText(text); });
}

void ThreadedPort::take() {
    // Byte by byte from the inner port, one chunk per arrival time, up to the bound.
    qsizetype room = 0;
    {
        const std::lock_guard lock(m_mutex);
        room = kMaxTakenBytes - m_waiting;
    }
    std::deque<Chunk> taken;
    qsizetype count = 0;
    char c = 0;
    for (int16_t waiting = m_inner->bytesWaiting(); waiting > 0 && count < room;
         waiting = m_inner->bytesWaiting()) {
        for (; waiting > 0 && count < room && m_inner->readByte(c); --waiting, ++count) {
            const qint64 at = m_inner->lastCharArrivalMs();
            if (taken.empty() || taken.back().arrivalMs != at)
                taken.push_back({{}, at});
            taken.back().bytes += c;
        }
        if (waiting > 0 && count < room)
            break; // the port was closed under us
    }
    const bool full = count >= room && m_inner->bytesWaiting() > 0;
    {
        const std::lock_guard lock(m_mutex);
        m_full = full;
        m_waiting += count;
        for (Chunk& chunk : taken)
            m_chunks.push_back(std::move(chunk));
    }
    if (count > 0)
        notify();
}

void ThreadedPort::notify() {
    // One notice at a time, and a few milliseconds apart: the window's thread takes all there
    // is when it wakes, so a UART's trickle does not wake it for every few bytes. The bytes
    // keep the times they arrived.
    if (m_told.exchange(true))
        return;
    // A port that spaces out its own news is passed on at once: a second gap here would hold
    // its bytes up to a gap longer.
    if (m_innerPaces) {
        sendNotice();
        return;
    }
    const qint64 sinceLast = m_sinceNotice.isValid() ? m_sinceNotice.elapsed() : kNoticeGapMs;
    if (sinceLast < kNoticeGapMs) {
        m_noticeTimer->start(static_cast<int>(kNoticeGapMs - sinceLast));
        return;
    }
    sendNotice();
}

void ThreadedPort::sendNotice() {
    m_sinceNotice.start();
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_told = false;
            Q_EMIT dataReceived();
        },
        Qt::QueuedConnection);
}

void ThreadedPort::dropTaken() {
    m_full = false;
    m_chunks.clear();
    m_chunkAt = 0;
    m_waiting = 0;
}
