// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

/// Where the program's modal messages and beeps go; the windows supply real message boxes.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    /// Modal box captioned "Tessaline" with a single OK button and no icon; returns when dismissed.
    virtual void showMessage(const QString& text) = 0;
    virtual void beep() = 0;
};
