// SPDX-License-Identifier: GPL-3.0-or-later
// SIGTERM (shutdown, systemctl stop), SIGHUP (logout) and SIGINT (Ctrl-C) through a self-pipe: the
// handler only writes a byte, which a socket notifier hands to the event loop.

#include "acquisition/platform/end_signals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::array<int, 3> kEndSignals{SIGTERM, SIGHUP, SIGINT};
int g_pipe[2] = {-1, -1};
std::array<struct sigaction, kEndSignals.size()> g_previous{};

extern "C" void onEndSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // A full pipe already says it all; nothing else is safe to do here.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

void drainPipe() {
    char bytes[16];
    while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

} // namespace

EndSignals::EndSignals(QObject* parent) : QObject(parent) {
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        drainPipe();
        Q_EMIT endRequested();
    });
    m_watcher = notifier;
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < kEndSignals.size(); ++i) {
        ::sigaction(kEndSignals[i], nullptr, &g_previous[i]);
        // Started under nohup, or in the background of a script: what its starter ignores, it
        // ignores too. A shutdown's SIGTERM is always heard.
        if (kEndSignals[i] != SIGTERM && g_previous[i].sa_handler == SIG_IGN)
            continue;
        ::sigaction(kEndSignals[i], &action, nullptr);
    }
}

EndSignals::~EndSignals() {
    if (!m_watcher)
        return;
    for (size_t i = 0; i < kEndSignals.size(); ++i)
        ::sigaction(kEndSignals[i], &g_previous[i], nullptr);
    delete m_watcher;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}
