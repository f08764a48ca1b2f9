// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/headless_program.h"

#include "acquisition/core/clock.h"
#include "acquisition/core/journal.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/logger.h"
#include "acquisition/platform/end_signals.h"
#include "acquisition/platform/platform_serial.h"
#include "acquisition/serial/serial_port.h"
#include "acquisition/serial/threaded_port.h"
#include "acquisition/start_options.h"

#include <QCoreApplication>
#include <atomic>

namespace {

std::atomic<Journal*> g_journal = nullptr; // read on every thread that may warn

// Qt's own warnings (a runtime folder not set, say) as journal lines too: nothing else on
// standard error breaks a reader of the journal.
void journalQtMessage(QtMsgType type, const QMessageLogContext& /*context*/, const QString& text) {
    JournalLevel level = JournalLevel::Info;
    if (type == QtWarningMsg)
        level = JournalLevel::Warning;
    else if (type == QtCriticalMsg || type == QtFatalMsg)
        level = JournalLevel::Error;
    else if (type == QtDebugMsg)
        return;
    if (Journal* journal = g_journal.load())
        journal->write(level, text);
}

int run(const PortScan& ports, Journal& journal) {
    SystemClock clock;
    ThreadedPort port(std::make_unique<SerialPort>(clock, ports));
    // Nobody is there to close a box: its text is a journal line, and the run goes on.
    JournalSink messages(journal, nullptr);
    Logger logger(port, clock, messages, systemFileCalls());
    bool ended = false;
    const auto end = [&](int code) {
        if (std::exchange(ended, true))
            return;
        logger.finish();
        QCoreApplication::exit(code);
    };
    JournalView view(journal, [&end] { end(0); });
    logger.setView(&view);
    EndSignals endSignals;
    QObject::connect(&endSignals, &EndSignals::endRequested, &endSignals, [&] {
        journal.write(JournalLevel::Notice, QStringLiteral("Asked to end"));
        end(0);
    });
    // Where the first START finds no port there is nothing to log: the system may start it
    // again once the device is there. Later, a device that goes away is waited for.
    bool first = true;
    QObject::connect(&logger.link(), &SerialLink::initialised, &endSignals, [&](bool open) {
        if (!std::exchange(first, false) || open)
            return;
        QMetaObject::invokeMethod(
            &endSignals, [&end] { end(1); }, Qt::QueuedConnection);
    });
    logger.beginLoop();
    logger.startPressed();
    const int code = QCoreApplication::exec();
    // The view goes first; the logger's last words go nowhere.
    logger.setView(nullptr);
    return code;
}

} // namespace

int runHeadless(const StartOptions& options) {
    loadStartValues(startSavePath());
    const PortScan ports = options.portScan(systemPortScan);
    options.apply(options.portPath.isEmpty() ? QList<SerialDevice>() : ports());
    Journal journal;
    g_journal = &journal;
    const QtMessageHandler previous = qInstallMessageHandler(journalQtMessage);
    journal.write(JournalLevel::Notice,
                  QStringLiteral("Tessaline %1 started without a window; options: %2")
                      .arg(QStringLiteral(TESSALINE_VERSION),
                           options.given.isEmpty() ? QStringLiteral("none")
                                                   : options.given.join(QLatin1Char(' '))));
    // Qt's words while the run is taken down are journal lines too.
    const int code = run(ports, journal);
    qInstallMessageHandler(previous);
    g_journal = nullptr;
    return code;
}
