// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QtGlobal>

/// Tells the system why a window holds the end of the session up while the program's last steps
/// run: on Windows the words a logout or shutdown shows beside the program
/// (platform_windows_shutdown.cpp); other systems show none, and nothing is done there.
class ShutdownReason {
public:
    virtual ~ShutdownReason() = default;
    /// Shows `reason` for `window` (a top-level window's native handle); false if not taken.
    virtual bool set(quintptr window, const QString& reason) = 0;
    /// Takes the reason back: the session may end.
    virtual void clear(quintptr window) = 0;
};

/// The system's own.
ShutdownReason& systemShutdownReason();
