#pragma once

#include <QByteArray>
#include <cstdint>

class Clock;
class MessageSink;

/// Chooses the data file of each record from the clock, opens it for appending as the single
/// handle DataFile, heads a new file, and writes record lines to it whole.
class DataFileWriter {
public:
    DataFileWriter(const Clock& clock, MessageSink& messages);
    ~DataFileWriter();
    DataFileWriter(const DataFileWriter&) = delete;
    DataFileWriter& operator=(const DataFileWriter&) = delete;

    /// Names the file, sets DataFilePath, opens it, writes the header if it is empty, and
    /// reports a failure once in a message box. Never fails to its caller.
    void File_open();
    /// True when DataFile is open and headed, ready for a record line.
    bool isReady() const;
    /// Appends record + CR LF in one write; on failure nothing of it stays in the file and the
    /// operator is told. Returns 0 or the errno of the failure.
    int32_t writeLine(const QByteArray& record);
    /// Closes DataFile; does nothing when it is not open.
    void close();

private:
    void report(int error);

    const Clock& m_clock;
    MessageSink& m_messages;
    int m_fd = -1;
    bool m_headed = false;
    int m_error = 0; // why DataFile is not ready, given back to a write that comes anyway
};
