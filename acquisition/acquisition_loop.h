#pragma once

#include "acquisition/varlin_def.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>
#include <cstdint>

class CommPort;
class DataFileWriter;
class LoopView;
class SerialLink;

/// Polls the port and turns received lines into records, one pass at a time on the UI
/// thread: returning to the event loop between passes is the yield, a precise single-shot
/// timer the sleep.
class AcquisitionLoop : public QObject {
    Q_OBJECT
public:
    enum class Phase { NotStarted, Idle, Sync, Receive, Ended };

    AcquisitionLoop(CommPort& port, SerialLink& link, DataFileWriter& writer, LoopView& view,
                    QObject* parent = nullptr);

    /// Attach point for the main window's first activation; later calls do nothing.
    void start();
    /// Stops all further passes (the window is going away without the end sequence).
    void halt();
    /// STOP was pressed. The loop acts on it at its next test even when START comes before
    /// that test, so it never goes on polling the port STOP closed.
    void stopPressed() { m_stopPending = true; }
    Phase phase() const { return m_phase; }

    // Most characters handled in one pass, so the window stays responsive under a flood.
    static constexpr int kMaxCharsPerPass = 4096;
    // Records kept while their data file cannot be opened, written once it can be again.
    static constexpr int kMaxPendingRecords = 100000;

private:
    void pass();
    void idlePass();
    void startUp();
    void syncPass();
    void endOfSync();
    void receivePass();
    void endSequence();
    // What one pass may still read: its share of the cap, and what the last poll reported.
    struct Batch {
        int budget = kMaxCharsPerPass;
        int waiting = 0;
    };
    bool nextChar(Batch& batch); // one waiting character into RxChar; false when none is left
    void handleChar();
    void lineEnd();
    void keepRecord(const QByteArray& record);
    QByteArray arrivalStamp() const; // of the character just read
    bool stopSeen() const { return varlin_def.Stopped == kTrue || m_stopPending; }

    CommPort& m_port;
    SerialLink& m_link;
    DataFileWriter& m_writer;
    LoopView& m_view;
    QTimer m_sleep;
    Phase m_phase = Phase::NotStarted;

    int16_t SkipFirstRecord = kTrue;
    int16_t LineEndCount = 0;
    QByteArray LineStamp;
    QByteArray RecordText;
    QList<QByteArray> m_pending; // records not yet in a file, oldest first
    bool m_charSinceLineEnd = false;
    bool m_stopPending = false;
};
