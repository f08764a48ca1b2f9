#include "support/fakes.h"

#include <algorithm>

int32_t FakeCommPort::open() {
    if (failOpen != 0)
        return failOpen;
    opened = true;
    ++opens;
    return 0;
}

int32_t FakeCommPort::close() {
    opened = false;
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
    if (!opened)
        return 0;
    noteArrivals();
    return static_cast<int16_t>(std::min<qsizetype>(received.size(), 32767));
}

QByteArray FakeCommPort::readChar() {
    if (!opened || received.isEmpty())
        return {};
    noteArrivals();
    m_lastArrival = m_arrivals.takeFirst();
    QByteArray c = received.left(1);
    received.remove(0, 1);
    return c;
}

void FakeCommPort::feed(const QByteArray& bytes, const QDateTime& at) {
    noteArrivals();
    received += bytes;
    m_arrivals.insert(m_arrivals.size(), bytes.size(), at);
}

void FakeCommPort::noteArrivals() {
    if (m_arrivals.size() > received.size()) // the test replaced what was waiting
        m_arrivals.clear();
    m_arrivals.insert(m_arrivals.size(), received.size() - m_arrivals.size(),
                      clock ? clock->now() : QDateTime());
}

int32_t FakeCommPort::sendText(const QByteArray& text) {
    if (opened)
        sent += text;
    return 0;
}

void FakeCommPort::raise(int16_t code) {
    eventCode = code;
    Q_EMIT lineEvent();
}
