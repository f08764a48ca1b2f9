#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <cstdint>

class DataFileWriter;
class LoopView;
class MessageSink;

/// Hands each record to the data file writer and keeps, oldest first, those whose file could
/// not be written, until it can. The operator gets File_open's box for the first failure;
/// while records wait, later failures show only their count in lbl_title, with a beep at most
/// once a second, so a burst of failures never takes the window away.
class WaitingRecords {
public:
    WaitingRecords(DataFileWriter& writer, MessageSink& messages, LoopView& view);

    /// At a line end: File_open, then the waiting records and this one (unless `write` is
    /// false: the record is not to be written), then the close. False when File_open failed.
    bool lineEnd(const QByteArray& record, bool write);
    /// Writes the waiting records if their file opens now; never a box.
    void retry();
    /// The session ends: one more quiet try, nothing reported.
    void lastTry();
    bool any() const { return !m_records.isEmpty(); }
    qsizetype count() const { return m_records.size(); }

    // Kept in memory at most; beyond it the oldest go, so a long outage cannot exhaust memory.
    static constexpr qsizetype kMax = 100000;

private:
    int32_t open(bool quiet);
    int32_t writeWaiting();
    void keep(const QByteArray& record);
    void tell(int32_t error);
    void beepAtMostOnceASecond();

    DataFileWriter& m_writer;
    MessageSink& m_messages;
    LoopView& m_view;
    QList<QByteArray> m_records;
    qsizetype m_written = 0; // waiting records written since the last failure
    QElapsedTimer m_lastBeep;
};
