// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/asking.h"

#include "acquisition/core/line_ends.h"
#include "acquisition/core/loop_view.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/serial/comm_port.h"
#include "acquisition/serial/serial_link.h"

#include <algorithm>
#include <chrono>

namespace {

qint64 steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString endName(const QByteArray& end) {
    for (const LineEnd& each : kLineEnds)
        if (!end.isEmpty() && end == each.bytes)
            return QLatin1Char(' ') + QLatin1String(each.name);
    return {};
}

} // namespace

Asking::Asking(CommPort& port, SerialLink& link, LoopView& view,
               std::function<qint64()> monotonicMs, QObject* parent)
    : QObject(parent), m_port(port), m_link(link), m_view(view),
      m_now(monotonicMs ? std::move(monotonicMs) : steadyMs) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Asking::askIfDue);
}

QString Asking::describe(const QByteArray& command, const QByteArray& lineEnd, qint64 intervalMs) {
    return QStringLiteral("asks %1%2 every %3 s")
        .arg(QString::fromLatin1(command), endName(lineEnd),
             QString::number(static_cast<double>(intervalMs) / 1000.0, 'g', 10));
}

void Asking::startPressed() {
    stop();
    if (varlin_def.AskInstrument == kFalse || varlin_def.AskCommand.isEmpty() ||
        varlin_def.AskIntervalMs <= 0)
        return;
    m_command = varlin_def.AskCommand;
    m_lineEnd = varlin_def.AskLineEnd;
    m_intervalMs = varlin_def.AskIntervalMs;
    m_active = true;
    m_view.showAsking(describe(m_command, m_lineEnd, m_intervalMs));
    if (m_port.isOpen())
        portOpened();
}

void Asking::portOpened() {
    // Only the first opening of a run starts the schedule; a reconnect keeps it.
    if (!m_active || m_scheduled)
        return;
    m_scheduled = true;
    m_firstMs = m_now();
    m_nextK = 0;
    // From the event loop: the pass that opened the port first discards what the line held,
    // and a quick answer must not be among it.
    m_timer.start(0);
}

void Asking::stop() {
    m_timer.stop();
    if (std::exchange(m_active, false))
        m_view.showAsking({});
    m_scheduled = false;
}

void Asking::askIfDue() {
    if (!m_active || !m_scheduled)
        return;
    const qint64 now = m_now();
    if (now < m_firstMs + m_nextK * m_intervalMs) {
        armForNext(now);
        return;
    }
    // A device that is away hears nothing; it is asked again on the schedule once it is back.
    if (m_port.isOpen())
        m_link.send(m_command, m_lineEnd);
    // Asks missed while the window was held are not sent in a burst.
    m_nextK = (now - m_firstMs) / m_intervalMs + 1;
    armForNext(now);
}

void Asking::armForNext(qint64 now) {
    const qint64 wait = m_firstMs + m_nextK * m_intervalMs - now;
    m_timer.start(static_cast<int>(std::clamp<qint64>(wait, 0, 24LL * 3600 * 1000)));
}
