// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class CommPort;
class LoopView;
class SerialLink;

/// On the window's thread: asks a print-on-demand instrument for its readings while acquisition
/// runs, getting in step included, by sending the command of the settings at their interval,
/// one write each time. The schedule is fixed from the moment the port opened, so lateness does
/// not add up; an ask that fell due while the port was away or the window was held is not made
/// up for, and the next comes on the schedule.
class Asking : public QObject {
    Q_OBJECT
public:
    /// `monotonicMs`: a clock that never goes back (steady time by default; tests drive it).
    Asking(CommPort& port, SerialLink& link, LoopView& view,
           std::function<qint64()> monotonicMs = {}, QObject* parent = nullptr);

    /// START: takes the settings. When asking is on, the first ask goes once the port opens.
    void startPressed();
    /// The port opened for this run: the schedule starts now, with an ask as soon as the event
    /// loop runs.
    void portOpened();
    /// STOP or the end: nothing more is sent.
    void stop();
    /// Sends when an ask is due, then waits for the next one; the timer calls it.
    void askIfDue();

    bool active() const { return m_active; }
    /// What the operator reads of it: "asks P CR LF every 10 s".
    static QString describe(const QByteArray& command, const QByteArray& lineEnd,
                            qint64 intervalMs);

private:
    void armForNext(qint64 now);

    CommPort& m_port;
    SerialLink& m_link;
    LoopView& m_view;
    std::function<qint64()> m_now;
    QTimer m_timer;
    bool m_active = false;
    bool m_scheduled = false; // the port has opened, so the schedule runs
    QByteArray m_command;
    QByteArray m_lineEnd;
    qint64 m_intervalMs = 0;
    qint64 m_firstMs = 0; // the schedule's origin: asks are due at m_firstMs + k × interval
    qint64 m_nextK = 0;
};
