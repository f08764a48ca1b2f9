// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/core/loop_view.h"

/// Passes what the run has to show on to the window once one is attached, and drops it while
/// none is: the link, the store and the loop are built before the window and outlive it.
class ViewRelay final : public LoopView {
public:
    void attach(LoopView* view) { m_view = view; }

    void setStateText(const QString& text) override {
        if (m_view)
            m_view->setStateText(text);
    }
    void showRecord(const QByteArray& record) override {
        if (m_view)
            m_view->showRecord(record);
    }
    void setTitleText(const QString& text) override {
        if (m_view)
            m_view->setTitleText(text);
    }
    void endProgram() override {
        if (m_view)
            m_view->endProgram();
    }
    void showPortDevice(const QString& description) override {
        if (m_view)
            m_view->showPortDevice(description);
    }
    void showFolderShared(bool shared) override {
        if (m_view)
            m_view->showFolderShared(shared);
    }
    void showStorageState(const QString& word) override {
        if (m_view)
            m_view->showStorageState(word);
    }
    void showLeftoversWaiting(bool waiting) override {
        if (m_view)
            m_view->showLeftoversWaiting(waiting);
    }
    void showAsking(const QString& word) override {
        if (m_view)
            m_view->showAsking(word);
    }
    void traceRecord(const QByteArray& text, qint64 arrivalMs) override {
        if (m_view)
            m_view->traceRecord(text, arrivalMs);
    }

private:
    LoopView* m_view = nullptr;
};
