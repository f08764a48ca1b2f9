// SPDX-License-Identifier: GPL-3.0-or-later
// Linux shows no reason for a program that holds a logout or shutdown up: systemd waits for the
// unit's stop, a desktop for the window, without words from the program.

#include "acquisition/platform/shutdown_reason.h"

namespace {

class NoShutdownReason final : public ShutdownReason {
public:
    bool set(quintptr, const QString&) override { return false; }
    void clear(quintptr) override {}
};

} // namespace

ShutdownReason& systemShutdownReason() {
    static NoShutdownReason reason;
    return reason;
}
