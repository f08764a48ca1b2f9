// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLabel>
#include <QLocale>
#include <QTime>
#include <QTimer>

/// A status bar panel that shows the time of day in the system's short form, hours and
/// minutes, and keeps itself current.
class ClockPanel : public QLabel {
    Q_OBJECT
public:
    explicit ClockPanel(QWidget* parent = nullptr);

    /// Hours and minutes in the locale's short time form, without seconds.
    static QString shortTime(const QTime& time, const QLocale& locale = QLocale::system());
    /// Milliseconds from `now` until the clock next needs to change.
    static int msUntilNextMinute(const QTime& now);

private:
    void tick();

    QTimer m_timer;
};
