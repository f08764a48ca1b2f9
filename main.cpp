#include "acquisition/clock.h"
#include "acquisition/end_signals.h"
#include "acquisition/logger.h"
#include "acquisition/serial_port.h"
#include "ui/frm_varlin.h"
#include "ui/message_box_sink.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    SystemClock clock;
    SerialPort port(clock);
    MessageBoxSink messages;
    Logger logger(port, clock, messages);
    Frm_Varlin window(logger, Frm_Varlin::endAtOnce);
    // A logout or shutdown ends the program as END does, waiting records written first.
    EndSignals endSignals;
    QObject::connect(&endSignals, &EndSignals::endRequested, &window, &Frm_Varlin::endProgram);
    window.show();
    return QApplication::exec();
}
