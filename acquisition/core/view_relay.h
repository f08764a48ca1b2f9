// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/core/loop_view.h"

/// Passes what the run has to show on to the window once one is attached, and drops it while
/// none is: the link, the store and the loop are built before the window and outlive it. The
/// journal, when there is one, hears all of it but the records.
class ViewRelay final : public LoopView {
public:
    void attach(LoopView* view) { m_view = view; }
    void attachJournal(LoopView* journal) { m_journal = journal; }

    void setStateText(const QString& text) override {
        if (m_view)
            m_view->setStateText(text);
        if (m_journal)
            m_journal->setStateText(text);
    }
    void showRecord(const QByteArray& record) override {
        if (m_view)
            m_view->showRecord(record);
    }
    void setTitleText(const QString& text) override {
        if (m_view)
            m_view->setTitleText(text);
        if (m_journal)
            m_journal->setTitleText(text);
    }
    void endProgram() override {
        if (m_view)
            m_view->endProgram();
        if (m_journal)
            m_journal->endProgram();
    }
    void showPortDevice(const QString& description) override {
        if (m_view)
            m_view->showPortDevice(description);
        if (m_journal)
            m_journal->showPortDevice(description);
    }
    void showFolderShared(bool shared) override {
        if (m_view)
            m_view->showFolderShared(shared);
        if (m_journal)
            m_journal->showFolderShared(shared);
    }
    void showStorageState(const QString& word) override {
        if (m_view)
            m_view->showStorageState(word);
        if (m_journal)
            m_journal->showStorageState(word);
    }
    void showLeftoversWaiting(bool waiting) override {
        if (m_view)
            m_view->showLeftoversWaiting(waiting);
        if (m_journal)
            m_journal->showLeftoversWaiting(waiting);
    }
    void showAsking(const QString& word) override {
        if (m_view)
            m_view->showAsking(word);
        if (m_journal)
            m_journal->showAsking(word);
    }
    void traceRecord(const QByteArray& text, qint64 arrivalMs) override {
        if (m_view)
            m_view->traceRecord(text, arrivalMs);
    }

    void journal(JournalLevel level, const QString& text) override {
        if (m_view)
            m_view->journal(level, text);
        if (m_journal)
            m_journal->journal(level, text);
    }

private:
    LoopView* m_view = nullptr;
    LoopView* m_journal = nullptr;
};
