// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/core/loop_view.h"
#include "acquisition/core/message_sink.h"

#include <QElapsedTimer>
#include <QHash>
#include <functional>

/// The journal of a run: one line for each thing that happened to it, with the local time in
/// ISO form and a level, on standard error. Under systemd each line also starts with its
/// syslog level ("<4>"), which the journal takes as the line's priority.
class Journal final {
public:
    using Writer = std::function<void(const QByteArray& line)>;
    /// `write` gets each line with its line end; standard error when empty.
    explicit Journal(Writer write = {});

    void write(JournalLevel level, const QString& text);

private:
    Writer m_write;
    bool m_levelPrefix = false;
};

/// Everything the main window would show, but the records, as journal lines: how a logger
/// without a window speaks, and what one with a window leaves for later. A word repeated (a
/// count going up, a noisy line's errors) is written once, not once a record.
class JournalView final : public LoopView {
public:
    explicit JournalView(Journal& journal, std::function<void()> endProgram = {})
        : m_journal(journal), m_endProgram(std::move(endProgram)) {}

    void setStateText(const QString& text) override;
    void showRecord(const QByteArray& /*record*/) override {}
    void setTitleText(const QString& text) override;
    void endProgram() override;
    void showPortDevice(const QString& description) override;
    void showFolderShared(bool shared) override;
    void showStorageState(const QString& word) override;
    void showAsking(const QString& word) override;
    void journal(JournalLevel level, const QString& text) override { m_journal.write(level, text); }

    /// How long a message line's word, said once, is not said again.
    static constexpr qint64 kRepeatQuietMs = 60'000;

private:
    struct Said {
        QElapsedTimer at;
        qint64 since = 0; // the same word, unsaid since
    };

    Journal& m_journal;
    std::function<void()> m_endProgram;
    QString m_state;
    QString m_storageKey;
    QString m_port;
    QString m_asking;
    QHash<QString, Said> m_titles;
};

/// Message boxes as journal lines, passed on to real boxes when there are some (`boxes` null:
/// nobody is there to close one, and the program goes on at once).
class JournalSink final : public MessageSink {
public:
    JournalSink(Journal& journal, MessageSink* boxes) : m_journal(journal), m_boxes(boxes) {}

    void showMessage(const QString& text) override;
    void beep() override {
        if (m_boxes)
            m_boxes->beep();
    }

private:
    Journal& m_journal;
    MessageSink* m_boxes;
};

/// The settings a START takes, in a line: port, baud rate, folder, files, stamps, comment,
/// asking, spreadsheet copy.
QString settingsInForce();
