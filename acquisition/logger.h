// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/acquisition_loop.h"
#include "acquisition/asking.h"
#include "acquisition/core/view_relay.h"
#include "acquisition/platform/file_calls.h"
#include "acquisition/serial/comm_port.h"
#include "acquisition/serial/serial_link.h"
#include "acquisition/storage/folder_claim.h"
#include "acquisition/storage/record_store.h"

#include <QTimer>

class Clock;
class MessageSink;

/// Owns the run: the link on the port, the record store with its storage thread and the
/// acquisition loop that joins them, and the operator's commands on them. Windows, tests, the
/// benchmarks and the fuzz target command acquisition through it alone. The window that shows it
/// all is built after it and goes before it, so it attaches with setView().
class Logger final {
public:
    /// `spoolFolder`: where records wait on the local disk while the data folder does not
    /// answer (the account's state folder when empty).
    Logger(CommPort& port, const Clock& clock, MessageSink& messages,
           FileCalls& files = systemFileCalls(), const QString& spoolFolder = {});
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    /// Where the loop's texts, records and line messages go; nowhere while none is set.
    void setView(LoopView* view) { m_view.attach(view); }
    /// Where the run's journal goes besides the window (JournalView); nowhere while none is set.
    void setJournal(LoopView* journal) { m_view.attachJournal(journal); }

    /// The main window is up: the loop runs from now on, idle until START. Once only.
    void beginLoop() { m_loop.beginLoop(); }
    /// START: acquisition runs from the loop's next pass. False when it was not stopped.
    /// While another logger of this account receives into the same folder the window says so
    /// (panel 1); the claim is let go when the port does not open.
    bool startPressed();
    /// STOP: the loop goes idle (or ends the program while still getting in step) and the
    /// port closes. False when acquisition was not running.
    bool stopPressed();
    /// Sends text unchanged, one byte per character, and `lineEnd` after it in the same
    /// write; an empty text sends nothing.
    void send(const QByteArray& text, const QByteArray& lineEnd = {}) {
        m_link.send(text, lineEnd);
    }
    /// The session ends: no more passes, the waiting records written and flushed, or kept in
    /// the spool if the data folder does not answer in time, the port closed. The operator is
    /// told where kept records are: in a box when `operatorPresent`, else on standard error.
    void finish(bool operatorPresent = true);
    /// The window goes away without the end sequence: no more passes.
    void halt() {
        m_asking.stop();
        m_loop.halt();
    }
    /// Records of earlier runs that wait for a folder that fails or hangs go into the current
    /// data folder instead, each into the file named for its own day or hour.
    void writeLeftoversHere();

    bool running() const { return varlin_def.Stopped == kFalse; }
    /// The serial devices present now, COM1 first, for the operator to tell them apart.
    QList<SerialDevice> presentDevices() const { return m_port.presentDevices(); }
    const AcquisitionLoop& loop() const { return m_loop; }
    /// Says, at every START, whether the port opened.
    const SerialLink& link() const { return m_link; }
    const RecordStore& store() const { return m_store; }
    /// What the records' arrival times are read from.
    const Clock& clock() const { return m_clock; }

    static constexpr int kClaimRetryMs = 1000;

private:
    void claimFolder();
    void claimAnswered(bool alone);
    void releaseFolder();

    CommPort& m_port;
    const Clock& m_clock;
    MessageSink& m_messages;
    ViewRelay m_view; // built before the link, the store and the loop that show through it
    QByteArray m_claimedFolder;
    QTimer m_claimRetry;         // while another logger holds the folder: is it still there?
    bool m_beepIfShared = false; // START's first answer beeps when the folder is shared
    FolderClaimer m_claim{[this](bool alone) { claimAnswered(alone); }};
    SerialLink m_link;
    RecordStore m_store;
    AcquisitionLoop m_loop;
    Asking m_asking;
};
