// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary received bytes through the acquisition loop's character handling, checked against
// the reference model: the records shown and the data files written must be exactly the
// predicted ones, and nothing may crash.
#include "acquisition/core/clock.h"
#include "acquisition/core/loop_view.h"
#include "acquisition/core/message_sink.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/logger.h"
#include "acquisition/serial/comm_port.h"
#include "reference_model.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

class StepClock final : public Clock {
public:
    qint64 nowMs() const override { return current.toMSecsSinceEpoch(); }
    QDateTime current;
};

// An instrument that starts sending right after the loop discarded what came before START;
// the clock moves as each byte is read, and each byte arrives as it is read.
class StreamPort final : public CommPort {
public:
    StreamPort(const QByteArray& bytes, StepClock& clock, qint64 stepMs)
        : m_bytes(bytes), m_clock(clock), m_stepMs(stepMs) {}
    int32_t selectPort(int16_t) override { return 0; }
    int32_t setLineSettings(const QByteArray&) override { return 0; }
    int32_t setReadLength(int16_t) override { return 0; }
    int32_t setDtr(bool) override { return 0; }
    int32_t setRts(bool) override { return 0; }
    int32_t setReceiveThreshold(int16_t) override { return 0; }
    int32_t setSendThreshold(int16_t) override { return 0; }
    int32_t open() override {
        m_open = true;
        return 0;
    }
    int32_t close() override {
        m_open = false;
        return 0;
    }
    int32_t reopenDevice() override { return open(); }
    bool isOpen() const override { return m_open; }
    int32_t discardReceived() override {
        m_sending = m_open;
        return 0;
    }
    int16_t bytesWaiting() override {
        return m_sending ? static_cast<int16_t>(std::min<qsizetype>(left(), 32767)) : int16_t{0};
    }
    bool readByte(char& c) override {
        if (!m_sending || left() == 0)
            return false;
        m_clock.current = m_clock.current.addMSecs(m_stepMs);
        c = m_bytes.at(m_next++);
        return true;
    }
    qint64 lastCharArrivalMs() const override { return m_clock.nowMs(); }
    int32_t sendText(const QByteArray&) override { return 0; }
    int16_t latestEvent() const override { return 0; }
    qsizetype left() const { return m_bytes.size() - m_next; }

private:
    QByteArray m_bytes;
    StepClock& m_clock;
    qint64 m_stepMs;
    qsizetype m_next = 0;
    bool m_open = false;
    bool m_sending = false;
};

class Recorder final : public LoopView, public MessageSink {
public:
    void setStateText(const QString&) override {}
    void showRecord(const QByteArray& record) override { shown << record; }
    void setTitleText(const QString&) override {}
    void endProgram() override { ended = true; }
    void showMessage(const QString& text) override { messages << text; }
    void beep() override {}
    QList<QByteArray> shown;
    QStringList messages;
    bool ended = false;
};

QString scratchFolder() {
    // Memory-backed when the machine has it: every record opens and closes a file.
    const QString base =
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    return base + QStringLiteral("/tessaline-fuzz-%1").arg(::getpid());
}

std::map<QByteArray, QByteArray> filesIn(const QString& folder) {
    std::map<QByteArray, QByteArray> files;
    for (const QString& name : QDir(folder).entryList(QDir::Files)) {
        QFile file(folder + "/" + name);
        if (file.open(QIODevice::ReadOnly))
            files[QFile::encodeName(name)] = file.readAll();
    }
    return files;
}

[[noreturn]] void mismatch(const char* what, const QByteArray& got, const QByteArray& want) {
    std::fprintf(stderr, "fuzz_loop: %s differ\n  got:  %s\n  want: %s\n", what,
                 got.toPercentEncoding().constData(), want.toPercentEncoding().constData());
    std::abort();
}

QByteArray joined(const QList<QByteArray>& records) {
    return records.join('\n');
}

QByteArray joined(const std::map<QByteArray, QByteArray>& files) {
    QByteArray all;
    for (const auto& [name, content] : files)
        all += name + ":" + content + "\n";
    return all;
}

} // namespace

// Input: flags (bit 0 date/time stamps, bit 1 milliseconds, bit 2 hourly files), the clock's
// step per byte in ms (two bytes, little endian), where the clock starts (one byte, in steps
// of 14.117 s from an hour before a new year), then the received bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    static int argc = 1;
    static char name[] = "fuzz_loop";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static const QString folder = scratchFolder();

    ModelInput in;
    in.stampDateTime = data[0] & 1;
    in.stampMillis = data[0] & 2;
    in.hourlyFiles = data[0] & 4;
    in.stepMs = data[1] | data[2] << 8;
    in.start = QDateTime(QDate(2026, 12, 31), QTime(23, 0)).addMSecs(qint64{data[3]} * 14'117);
    in.bytes =
        QByteArray(reinterpret_cast<const char*>(data + 4), static_cast<qsizetype>(size - 4));
    in.maxLineBytes = AcquisitionLoop::kMaxLineBytes;

    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    loadStartValues(QFile::encodeName(folder));
    varlin_def.StampDateTime = in.stampDateTime ? kTrue : kFalse;
    varlin_def.StampMillis = in.stampMillis ? kTrue : kFalse;
    varlin_def.HourlyFiles = in.hourlyFiles ? kTrue : kFalse;

    StepClock clock;
    clock.current = in.start;
    StreamPort port(in.bytes, clock, in.stepMs);
    Recorder recorder;
    Logger logger(port, clock, recorder, systemFileCalls(), folder + QStringLiteral("-spool"));
    logger.setView(&recorder);
    const AcquisitionLoop& loop = logger.loop();
    logger.beginLoop();
    logger.startPressed();
    // Each pass reads a bounded share; the passes follow one another through the event loop.
    do
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    while (port.left() > 0 && loop.phase() != AcquisitionLoop::Phase::Ended);
    logger.finish(); // every record written by the storage thread before the files are read

    const ModelOutput want = predict(in);
    if (recorder.shown != want.shown)
        mismatch("records shown", joined(recorder.shown), joined(want.shown));
    const auto files = filesIn(folder);
    if (files != want.files)
        mismatch("data files", joined(files), joined(want.files));
    if (!recorder.messages.isEmpty() || recorder.ended)
        mismatch("messages", recorder.messages.join('|').toUtf8(), "");
    return 0;
}
