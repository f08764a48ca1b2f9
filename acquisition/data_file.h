#pragma once

#include "acquisition/clock.h"
#include "acquisition/file_sync.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QTimer>
#include <cstdint>

class MessageSink;

/// The message File_open shows for a failure: "Data file output error.  " and the code.
QString dataFileErrorText(int32_t error);

/// Chooses the data file of each record from the clock, opens it for appending as the single
/// handle DataFile, heads a new file, writes record lines to it whole, and has what it wrote
/// flushed to the medium within a second.
class DataFileWriter {
public:
    DataFileWriter(const Clock& clock, MessageSink& messages, FileSync& sync = systemFileSync());
    ~DataFileWriter();
    DataFileWriter(const DataFileWriter&) = delete;
    DataFileWriter& operator=(const DataFileWriter&) = delete;

    /// Names the file, sets DataFilePath, opens it, writes the header if it is empty, and
    /// reports a failure once in a message box. Never fails to its caller.
    void File_open();
    /// File_open's steps without the message box; returns the code the box would show, or 0.
    int32_t openQuietly();
    /// Why DataFile is not ready after the last open (the code File_open showed), or 0.
    int32_t failure() const { return m_error; }
    /// True when DataFile is open and headed, ready for a record line.
    bool isReady() const;
    /// Appends record + CR LF in one write; on failure nothing of it stays in the file.
    /// Returns 0 or the errno of the failure; telling the operator is the caller's choice.
    int32_t writeLine(const QByteArray& record);
    /// Closes DataFile; does nothing when it is not open. What was written is flushed to the
    /// medium at once if the last flush is a second old, otherwise when that second is over.
    void close();
    /// Flushes at once what was written and not yet flushed: the last step before the end.
    void flushNow();
    /// Milliseconds until the flush that is due, or -1 when none is.
    int msUntilFlush() const { return m_flushTimer.isActive() ? m_flushTimer.remainingTime() : -1; }

    static constexpr int kFlushIntervalMs = 1000;

private:
    void scheduleFlush();
    void markWritten();

    const Clock& m_clock;
    LocalTimeCache m_localTime;
    MessageSink& m_messages;
    FileSync& m_sync;
    int m_fd = -1;
    bool m_headed = false;
    int m_error = 0;     // why DataFile is not ready, given back to a write that comes anyway
    QByteArray m_path;   // of DataFile while it is open
    QByteArray m_folder; // and its folder
    // Written since the last flush. Kept by name rather than by descriptor, so no data file
    // stays open between records, and a new day's file is flushed with the old one's end.
    QList<QByteArray> m_unflushedFiles;
    QList<QByteArray> m_unflushedFolders; // that gained a file
    QElapsedTimer m_lastFlush;
    QTimer m_flushTimer;
};
