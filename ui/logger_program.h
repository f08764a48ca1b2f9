// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/platform/serial_device.h"
#include "acquisition/start_options.h"

#include <QByteArray>
#include <functional>

class FileCalls;
class Frm_Varlin;
class MessageSink;

/// What a program built on the logger may choose; the logger itself leaves all of it as is.
struct LoggerProgram {
    PortScan ports;                         // the system's port numbering when empty
    MessageSink* messages = nullptr;        // real message boxes when null
    QByteArray savePath;                    // startSavePath() when empty
    FileCalls* files = nullptr;             // the system's when null
    std::function<void(Frm_Varlin&)> shown; // runs once the window is up
    StartOptions options;                   // over the start values; --start presses START
    std::function<void()> endProcess;       // once the window has closed; ends the process
                                            // at once when empty
};

/// The one wiring of the program: the start values with the options over them, the real clock
/// and serial port, the logger and its main window, the journal on standard error, and the
/// session's end turned into END. Shows the window and
/// runs the event loop until the program ends; a QApplication must exist.
int runLogger(const LoggerProgram& program = {});
