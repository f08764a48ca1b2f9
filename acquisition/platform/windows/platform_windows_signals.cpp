// SPDX-License-Identifier: GPL-3.0-or-later
// Logout and shutdown on Windows arrive as WM_QUERYENDSESSION, which Qt's session manager turns
// into commitDataRequest. The request is answered at once, inside that message: once the next
// one (WM_ENDSESSION) is handled, Windows ends the process wherever it stands. Joined by the
// signal's name, since this layer links Qt Core only.

#include "acquisition/platform/end_signals.h"

#include <QCoreApplication>

namespace {

int g_instances = 0;

} // namespace

EndSignals::EndSignals(QObject* parent) : QObject(parent) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || g_instances > 0)
        return;
    auto* watcher = new QObject(this);
    const bool joined = connect(app, SIGNAL(commitDataRequest(QSessionManager&)), this,
                                SIGNAL(endRequested()), Qt::DirectConnection);
    if (!joined) {
        delete watcher;
        return;
    }
    m_watcher = watcher;
    ++g_instances;
}

EndSignals::~EndSignals() {
    if (!m_watcher)
        return;
    disconnect(QCoreApplication::instance(), nullptr, this, nullptr);
    --g_instances;
}
