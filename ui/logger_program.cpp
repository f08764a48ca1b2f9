// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/logger_program.h"

#include "acquisition/core/clock.h"
#include "acquisition/core/journal.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/logger.h"
#include "acquisition/platform/end_signals.h"
#include "acquisition/platform/platform_serial.h"
#include "acquisition/serial/serial_port.h"
#include "acquisition/serial/threaded_port.h"
#include "ui/frm_varlin.h"
#include "ui/message_box_sink.h"

#include <QApplication>
#include <QPushButton>

int runLogger(const LoggerProgram& program) {
    loadStartValues(program.savePath.isEmpty() ? startSavePath() : program.savePath);
    const PortScan ports = program.options.portScan(program.ports ? program.ports : systemPortScan);
    program.options.apply(program.options.portPath.isEmpty() ? QList<SerialDevice>() : ports());
    Journal journal;
    journal.write(JournalLevel::Notice,
                  QStringLiteral("Tessaline started; options: %1")
                      .arg(program.options.given.isEmpty()
                               ? QStringLiteral("none")
                               : program.options.given.join(QLatin1Char(' '))));
    SystemClock clock;
    // Read on a thread of its own: nothing the window does holds the line.
    ThreadedPort port(std::make_unique<SerialPort>(clock, ports));
    MessageBoxSink boxes;
    JournalSink messages(journal, program.messages ? program.messages : &boxes);
    Logger logger(port, clock, messages, program.files ? *program.files : systemFileCalls());
    JournalView journalView(journal);
    logger.setJournal(&journalView);
    Frm_Varlin window(logger, program.endProcess ? program.endProcess
                                                 : std::function<void()>(Frm_Varlin::endAtOnce));
    // A logout or shutdown ends the program as END does, waiting records written first.
    EndSignals endSignals;
    QObject::connect(&endSignals, &EndSignals::endRequested, &window, &Frm_Varlin::endSession);
    window.show();
    // As if pressed, once the window is up.
    if (program.options.start)
        if (auto* start = window.findChild<QPushButton*>(QStringLiteral("Command1")))
            QMetaObject::invokeMethod(start, &QPushButton::click, Qt::QueuedConnection);
    if (program.shown)
        program.shown(window);
    const int code = QApplication::exec();
    // Gone before the logger that speaks to it.
    logger.setJournal(nullptr);
    return code;
}
