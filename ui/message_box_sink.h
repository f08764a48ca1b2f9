// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/core/message_sink.h"

class QWidget;

/// The program's messages as real modal message boxes, and the desktop's beep.
class MessageBoxSink final : public MessageSink {
public:
    explicit MessageBoxSink(QWidget* parent = nullptr) : m_parent(parent) {}

    void showMessage(const QString& text) override;
    void beep() override;

private:
    QWidget* m_parent;
};
