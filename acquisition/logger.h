#pragma once

#include "acquisition/acquisition_loop.h"
#include "acquisition/data_file.h"
#include "acquisition/file_sync.h"
#include "acquisition/loop_view.h"
#include "acquisition/serial_link.h"

class Clock;
class CommPort;
class MessageSink;

/// The logger's machinery, wired in one place: the link on the port, the data file writer and
/// the acquisition loop that joins them, the records waiting for their file included. The
/// window that shows it all is built after it and goes before it, so it attaches with setView().
class Logger final : private LoopView {
public:
    Logger(CommPort& port, const Clock& clock, MessageSink& messages,
           FileSync& sync = systemFileSync());
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    /// Where the loop's texts, records and line messages go; nowhere while none is set.
    void setView(LoopView* view) { m_view = view; }

    SerialLink& link() { return m_link; }
    AcquisitionLoop& loop() { return m_loop; }

private:
    void setStateText(const QString& text) override;
    void showRecord(const QByteArray& record) override;
    void setTitleText(const QString& text) override;
    void endProgram() override;

    LoopView* m_view = nullptr;
    SerialLink m_link;
    DataFileWriter m_writer;
    AcquisitionLoop m_loop;
};
