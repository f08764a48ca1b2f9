// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

/// The system's request to end the session (on Linux SIGTERM at shutdown, SIGHUP at logout,
/// SIGINT at Ctrl-C) turned into a Qt signal delivered by the event loop, so the program ends
/// through its own end steps rather than where the request finds it. One instance at a time; it
/// gives the requests back to their previous handling when it goes. The platform's file implements
/// it (platform_linux_signals.cpp on Linux).
class EndSignals : public QObject {
    Q_OBJECT
public:
    explicit EndSignals(QObject* parent = nullptr);
    ~EndSignals() override;
    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;

    /// False when the requests could not be watched (a second instance, no pipe).
    bool isWatching() const { return m_watcher != nullptr; }

Q_SIGNALS:
    void endRequested();

private:
    QObject* m_watcher = nullptr; // what the system's request arrives through
};
