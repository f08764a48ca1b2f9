// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The logger as the Windows window tests build it: the real window, loop and reader thread on
// COM1, the system's files, and only the clock the test's, so file names and the header are
// known.

#include "acquisition/core/clock.h"
#include "acquisition/core/message_sink.h"
#include "acquisition/logger.h"
#include "acquisition/platform/file_calls.h"
#include "acquisition/serial/serial_port.h"
#include "acquisition/serial/threaded_port.h"
#include "ui/frm_varlin.h"

#include <QDate>
#include <QDateTime>
#include <QLineEdit>
#include <QStringList>
#include <QTime>
#include <QWidget>

#include <memory>

class FixedClock final : public Clock {
public:
    qint64 nowMs() const override {
        return QDateTime(QDate(2026, 12, 7), QTime(10, 0)).toMSecsSinceEpoch();
    }
};

class RecordingSink final : public MessageSink {
public:
    void showMessage(const QString& text) override { messages << text; }
    void beep() override { ++beeps; }
    QStringList messages;
    int beeps = 0;
};

/// The control called `name`; a missing one stops the test program, naming it.
template <typename W> W* control(const QWidget& window, const char* name) {
    W* widget = window.findChild<W*>(QLatin1StringView(name));
    if (!widget)
        qFatal("no control %s", name);
    return widget;
}

/// Built after the start values are loaded; the window is not yet shown.
struct WindowOnCom1 {
    explicit WindowOnCom1(const QString& spoolFolder)
        : logger(port, clock, sink, systemFileCalls(), spoolFolder) {}
    WindowOnCom1(const WindowOnCom1&) = delete;
    WindowOnCom1& operator=(const WindowOnCom1&) = delete;

    /// The latest record as txt_meas shows it.
    QString shown() const { return control<QLineEdit>(window, "txt_meas_0")->text(); }

    FixedClock clock;
    ThreadedPort port{std::make_unique<SerialPort>(clock)};
    RecordingSink sink;
    Logger logger;
    int ends = 0; // the program's end, asked by END
    Frm_Varlin window{logger, [this] { ++ends; }};
};
