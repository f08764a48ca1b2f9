// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/clock_panel.h"

#include <QRegularExpression>

namespace {
// Waking just past the minute keeps a late timer from showing the old minute.
constexpr int kPastTheMinuteMs = 20;
} // namespace

ClockPanel::ClockPanel(QWidget* parent) : QLabel(parent) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ClockPanel::tick);
    tick();
}

QString ClockPanel::shortTime(const QTime& time, const QLocale& locale) {
    // Some locales' short form carries seconds (C gives HH:mm:ss); the panel shows minutes.
    static const QRegularExpression seconds(QStringLiteral("[:.]?s+(\\.z+)?"));
    QString format = locale.timeFormat(QLocale::ShortFormat);
    format.remove(seconds);
    return locale.toString(time, format.trimmed());
}

int ClockPanel::msUntilNextMinute(const QTime& now) {
    return 60000 - (now.second() * 1000 + now.msec()) + kPastTheMinuteMs;
}

void ClockPanel::tick() {
    const QTime now = QTime::currentTime();
    setText(shortTime(now));
    m_timer.start(msUntilNextMinute(now));
}
