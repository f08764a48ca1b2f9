// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The windows as the operator meets them. Only the tests of the windows link this part.

#include "acquisition/logger.h"
#include "support/test_kit.h"
#include "ui/frm_varlin.h"

#include <QTemporaryDir>
#include <QWidget>

class Frm_Savepath;

/// The control called `name` in `window`, its own before those of a window it holds. A
/// missing one, or a missing window, stops the test program, naming it.
template <typename W = QWidget> W* control(const QWidget* window, const char* name) {
    if (!window)
        qFatal("no window to find %s in", name);
    W* widget = window->findChild<W*>(QLatin1StringView(name));
    if (!widget)
        qFatal("no control %s in %s", name, qPrintable(window->objectName()));
    return widget;
}

/// A left click on the control called `name`.
void click(const QWidget* window, const char* name);

/// The logger and its main window, wired as main() wires them on the test's port and clock,
/// from the start values: messages recorded, the ending counted instead of ending the process,
/// data files in `dataFolder`. Shown, as at start-up.
class LoggerWindow {
    // First of all: the start values, so nothing of an earlier test's settings remains.
    struct StartValues {
        explicit StartValues(const QString& dataFolder);
    } m_startValues;

public:
    /// The logger's spool in `spoolFolder`, or in a folder of its own when empty.
    LoggerWindow(CommPort& port, const Clock& clock, const QString& dataFolder,
                 FileCalls& files = systemFileCalls(), const QString& spoolFolder = {});

    template <typename W = QWidget> W* control(const char* name) const {
        return ::control<W>(&window, name);
    }
    void click(const char* name) const { ::click(&window, name); }
    QString panel(int n) const; // of SB1
    QString shown() const;      // txt_meas element 0
    QString title() const;      // lbl_title
    /// The settings window while one is open, else null.
    Frm_Savepath* settings() const;

    RecordingSink sink;
    QTemporaryDir ownSpool;
    Logger logger;
    Frm_Varlin window;
    int ends = 0;
};
