// SPDX-License-Identifier: GPL-3.0-or-later
// While a program's window has a reason set, Windows lists the program with that reason on the
// screen a logout or shutdown shows, instead of calling it one that blocks the shutdown.

#include "acquisition/platform/shutdown_reason.h"

#include <windows.h>

namespace {

class WindowsShutdownReason final : public ShutdownReason {
public:
    bool set(quintptr window, const QString& reason) override {
        const std::wstring text = reason.toStdWString();
        return ::ShutdownBlockReasonCreate(reinterpret_cast<HWND>(window), text.c_str()) != FALSE;
    }
    void clear(quintptr window) override {
        ::ShutdownBlockReasonDestroy(reinterpret_cast<HWND>(window));
    }
};

} // namespace

ShutdownReason& systemShutdownReason() {
    static WindowsShutdownReason reason;
    return reason;
}
