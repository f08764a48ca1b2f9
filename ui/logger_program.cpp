// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/logger_program.h"

#include "acquisition/core/clock.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/logger.h"
#include "acquisition/platform/end_signals.h"
#include "acquisition/serial/serial_port.h"
#include "acquisition/serial/threaded_port.h"
#include "ui/frm_varlin.h"
#include "ui/message_box_sink.h"

#include <QApplication>

int runLogger(const LoggerProgram& program) {
    loadStartValues(program.savePath.isEmpty() ? startSavePath() : program.savePath);
    SystemClock clock;
    // Read on a thread of its own: nothing the window does holds the line.
    ThreadedPort port(std::make_unique<SerialPort>(clock, program.ports));
    MessageBoxSink boxes;
    Logger logger(port, clock, program.messages ? *program.messages : boxes,
                  program.files ? *program.files : systemFileCalls());
    Frm_Varlin window(logger, Frm_Varlin::endAtOnce);
    // A logout or shutdown ends the program as END does, waiting records written first.
    EndSignals endSignals;
    QObject::connect(&endSignals, &EndSignals::endRequested, &window, &Frm_Varlin::endSession);
    window.show();
    if (program.shown)
        program.shown(window);
    return QApplication::exec();
}
