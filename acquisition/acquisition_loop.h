// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/core/clock.h"
#include "acquisition/core/varlin_def.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>

class CommPort;
class LoopView;
class RecordStore;
class SerialLink;

/// Reads the port and turns received lines into records, one pass at a time on the UI thread:
/// returning to the event loop between passes is the yield. A pass runs when something can
/// have changed (START, STOP, received data, the device gone), never more than once a
/// millisecond, and no timer runs while nothing happens. A second timer, running only while
/// the device is away, looks for the device once a second. Records go to the record store,
/// which never waits for the disk.
class AcquisitionLoop : public QObject {
    Q_OBJECT
public:
    enum class Phase { NotStarted, Idle, Sync, Receive, Ended };

    AcquisitionLoop(CommPort& port, SerialLink& link, RecordStore& store, LoopView& view,
                    QObject* parent = nullptr);

    /// Attach point for the main window's first activation; later calls do nothing.
    void beginLoop();
    /// Stops all further passes (the window is going away without the end sequence).
    void halt();
    /// The session ends while receiving: the whole lines the port already holds are recorded
    /// first. The line not yet ended is dropped, as at STOP.
    void recordHeldLines();
    /// START was pressed: an idle loop takes it up in its next pass.
    void startPressed() { wake(); }
    /// STOP was pressed. The loop acts on it at its next test even when START comes before
    /// that test, so it never goes on reading the port STOP closed.
    void stopPressed() {
        m_stopPending = true;
        wake();
    }
    Phase phase() const { return m_phase; }
    qsizetype waitingRecords() const;

    // Most characters handled in one pass, so the window stays responsive under a flood.
    static constexpr int kMaxCharsPerPass = 4096;
    static constexpr int kRetryIntervalMs = 1000;
    // Least time from one pass to the next, so a flood is read in batches, not byte by byte.
    static constexpr int kMinPassGapMs = 1;
    // A line this long is recorded, and the rest of it starts a new one, so a device that
    // streams without a CR (a binary output mode) cannot fill memory.
    static constexpr qsizetype kMaxLineBytes = 65536;
    // Most characters recorded at the end, about what the reader may hold.
    static constexpr int kMaxHeldChars = 2 << 20;
    // LFs with no CR for this long suggest an instrument that ends its lines with LF alone.
    static constexpr int kLfHintAfterMs = 3000;
    static constexpr int kLfHintCount = 3;

private:
    void wake();
    void dataReceived();
    void pass();
    void idlePass();
    void startUp();
    void syncPass();
    void endOfSync();
    void receivePass();
    void goIdle();
    void endSequence();
    // What one pass may still read: its share of the cap, and what the last poll reported.
    struct Batch {
        int budget = kMaxCharsPerPass;
        int waiting = 0;
    };
    bool nextChar(Batch& batch); // one waiting character into RxChar; false when none is left
    void handleChar();
    void lineEnd();
    void cutLongLine();
    void crSeen();
    void lfSeen();
    QByteArray arrivalStamp(); // of the character just read
    bool stopSeen() const { return varlin_def.Stopped == kTrue || m_stopPending; }

    void onDeviceRemoved();
    void retryTick();
    void reconnect();
    void updateRetry();

    CommPort& m_port;
    SerialLink& m_link;
    RecordStore& m_store;
    LoopView& m_view;
    QTimer m_sleep;                // the next pass, once one is due
    QElapsedTimer m_sinceLastPass; // since the last pass began
    QTimer m_retry;
    QTimer m_lfHint;         // runs once kLfHintCount LFs came since the last CR
    QElapsedTimer m_sinceCr; // since the last CR, or the start of sync
    int m_lfSinceCr = 0;
    bool m_lfHintShown = false;
    bool m_lineCut = false; // the line in progress has been recorded in parts
    Phase m_phase = Phase::NotStarted;
    LocalTimeCache m_localTime;

    int16_t SkipFirstRecord = kTrue;
    int16_t LineEndCount = 0;
    QByteArray LineStamp;
    qint64 m_lineArrivalMs = 0; // of LineStamp
    QByteArray RecordText;
    bool m_charSinceLineEnd = false;
    bool m_stopPending = false;
    bool m_inPass = false;        // a message box inside a pass runs the event loop
    bool m_wokenInPass = false;   // ... and saw a reason for another pass
    bool m_moreWaiting = false;   // the pass left characters for the next one
    bool m_deviceAway = false;    // the port's device went away during sync or receive
    bool m_skipToLineEnd = false; // after a reconnect: the line in progress was cut
};
