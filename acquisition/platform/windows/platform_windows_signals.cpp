// SPDX-License-Identifier: GPL-3.0-or-later
// Logout and shutdown on Windows: WM_QUERYENDSESSION only asks (another program may still have
// the session go on); WM_ENDSESSION says it ends, and once that message is handled Windows ends
// the process wherever it stands. Qt emits aboutToQuit inside WM_ENDSESSION, so the program ends
// there, in its own steps; any other quit of the event loop ends it the same way.

#include "acquisition/platform/end_signals.h"

#include <QCoreApplication>

namespace {

int g_instances = 0;

} // namespace

EndSignals::EndSignals(QObject* parent) : QObject(parent) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || g_instances > 0)
        return;
    // Direct: the handler must have run before Qt returns from the message.
    auto* watcher = new QObject(this);
    connect(
        app, &QCoreApplication::aboutToQuit, watcher, [this] { Q_EMIT endRequested(); },
        Qt::DirectConnection);
    m_watcher = watcher;
    ++g_instances;
}

EndSignals::~EndSignals() {
    if (!m_watcher)
        return;
    delete m_watcher;
    --g_instances;
}
