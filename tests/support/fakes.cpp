// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/fakes.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

int32_t FakeCommPort::open() {
    ++openCalls;
    unplugged = false;
    if (failOpen != 0)
        return failOpen;
    opened = true;
    ++opens;
    return 0;
}

int32_t FakeCommPort::close() {
    opened = false;
    unplugged = false;
    ++closes;
    return 0;
}

int32_t FakeCommPort::discardReceived() {
    if (opened) {
        received.clear();
        m_arrivals.clear();
    }
    return 0;
}

int16_t FakeCommPort::bytesWaiting() {
    ++polls;
    if (!opened && !unplugged)
        return 0;
    noteArrivals();
    return static_cast<int16_t>(std::min<qsizetype>(received.size(), 32767));
}

bool FakeCommPort::readByte(char& c) {
    if ((!opened && !unplugged) || received.isEmpty())
        return false;
    noteArrivals();
    m_lastArrival = m_arrivals.takeFirst();
    c = received.at(0);
    received.remove(0, 1);
    return true;
}

void FakeCommPort::feed(const QByteArray& bytes) {
    received += bytes;
    Q_EMIT dataReceived();
}

void FakeCommPort::feed(const QByteArray& bytes, const QDateTime& at) {
    noteArrivals();
    received += bytes;
    m_arrivals.insert(m_arrivals.size(), bytes.size(), at.toMSecsSinceEpoch());
    Q_EMIT dataReceived();
}

void FakeCommPort::noteArrivals() {
    if (m_arrivals.size() > received.size()) // the test replaced what was waiting
        m_arrivals.clear();
    m_arrivals.insert(m_arrivals.size(), received.size() - m_arrivals.size(),
                      clock ? clock->nowMs() : kNoArrival);
}

int32_t FakeCommPort::sendText(const QByteArray& text) {
    if (opened) {
        sent += text;
        ++sends;
    }
    return 0;
}

void FakeCommPort::raise(int16_t code) {
    eventCode = code;
    Q_EMIT lineEvent();
}

void FakeCommPort::unplug() {
    opened = false;
    unplugged = true;
    Q_EMIT deviceRemoved();
}

namespace {
// A data file, not a spool's marks on the same calls.
bool isDataFile(int fd) {
    char path[4096];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
    const ssize_t n = ::readlink(link.constData(), path, sizeof path);
    return n > 4 && QByteArray(path, n).endsWith(".txt");
}
} // namespace

void RecordingFileCalls::noteThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread())
        ++onWindowsThread;
}

int RecordingFileCalls::fileLength(int fd, qint64& length) {
    noteThread();
    return FileCalls::fileLength(fd, length);
}

int RecordingFileCalls::offsetOf(int fd, qint64& offset) {
    noteThread();
    return FileCalls::offsetOf(fd, offset);
}

int RecordingFileCalls::closeFile(int fd) {
    noteThread();
    return FileCalls::closeFile(fd);
}

int RecordingFileCalls::readAt(const QByteArray& path, qint64 offset, qsizetype size,
                               QByteArray& bytes) {
    noteThread();
    return FileCalls::readAt(path, offset, size, bytes);
}

int RecordingFileCalls::removeFile(const QByteArray& path) {
    noteThread();
    return FileCalls::removeFile(path);
}

int RecordingFileCalls::openForAppend(const QByteArray& path, int& error) {
    noteThread();
    waitWhileHeld(true);
    if (failOpens > 0) {
        --failOpens;
        error = ENOENT;
        return -1;
    }
    return FileCalls::openForAppend(path, error);
}

int RecordingFileCalls::appendWhole(int fd, const QByteArray& bytes) {
    noteThread();
    waitWhileHeld(false);
    if (isDataFile(fd)) {
        ++dataAppends;
        if (full)
            return ENOSPC;
    }
    const int error = FileCalls::appendWhole(fd, bytes);
    if (error == 0 && landThenFail > 0) {
        --landThenFail;
        return EIO;
    }
    return error;
}

int RecordingFileCalls::dataSync(int fd) {
    noteThread();
    if (syncMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(syncMs.load()));
    struct stat info {};
    ::fstat(fd, &info);
    Flush flush{clock.elapsed(), S_ISDIR(info.st_mode), {}};
    if (!flush.folder && failSyncs > 0 && isDataFile(fd)) {
        --failSyncs;
        return EIO;
    }
    if (!flush.folder) {
        flush.contents.resize(static_cast<qsizetype>(info.st_size));
        const ssize_t n = ::pread(fd, flush.contents.data(), static_cast<size_t>(info.st_size), 0);
        flush.contents.resize(n > 0 ? n : 0);
    }
    const std::lock_guard lock(m_mutex);
    m_flushes << flush;
    return 0;
}

QList<RecordingFileCalls::Flush> RecordingFileCalls::flushes() const {
    const std::lock_guard lock(m_mutex);
    return m_flushes;
}

void RecordingFileCalls::hold(bool opens) {
    const std::lock_guard lock(m_mutex);
    m_holding = true;
    m_holdingOpens = opens;
}

void RecordingFileCalls::release() {
    const std::lock_guard lock(m_mutex);
    m_holding = false;
    m_released.notify_all();
}

int RecordingFileCalls::held() const {
    const std::lock_guard lock(m_mutex);
    return m_held;
}

void RecordingFileCalls::waitWhileHeld(bool open) {
    std::unique_lock lock(m_mutex);
    if (!m_holding || (open && !m_holdingOpens))
        return;
    ++m_held;
    m_released.wait(lock, [this] { return !m_holding; });
    --m_held;
}
