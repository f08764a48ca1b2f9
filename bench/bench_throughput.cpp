// SPDX-License-Identifier: GPL-3.0-or-later
// Measures the acquisition loop against an instrument on a pseudo-terminal: what reaches the
// data files, how late, and what it costs in CPU while receiving and while idle.
//
//   bench_throughput [seconds per phase]   (default 20)

#include "acquisition/core/clock.h"
#include "acquisition/core/loop_view.h"
#include "acquisition/core/message_sink.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/logger.h"
#include "acquisition/platform/file_calls.h"
#include "acquisition/serial/serial_port.h"
#include "numbered_lines.h"
#include "proc_stats.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double processCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class QuietView final : public LoopView {
public:
    void setStateText(const QString&) override {}
    void showRecord(const QByteArray&) override { ++records; }
    void setTitleText(const QString&) override {}
    void endProgram() override { ended = true; }
    int records = 0;
    bool ended = false;
};

// The system's fdatasync, timed: the flushes run on the loop's thread and hold it meanwhile.
class TimedSync final : public FileCalls {
public:
    int dataSync(int fd) override {
        const int64_t t0 = monoNs();
        const int result = systemFileCalls().dataSync(fd);
        const int64_t ns = monoNs() - t0;
        ++calls;
        totalNs += ns;
        maxNs = std::max(maxNs, ns);
        return result;
    }
    void reset() { calls = 0, totalNs = 0, maxNs = 0; }
    int calls = 0;
    int64_t totalNs = 0;
    int64_t maxNs = 0;
};

class PrintingSink final : public MessageSink {
public:
    void showMessage(const QString& text) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    void beep() override {}
};

// Sends lines firstSeq.. paced at bytesPerSecond, a few bytes every millisecond like a UART;
// notes when each line's end left.
struct Instrument {
    int master = -1;
    std::vector<int64_t> sentNs; // by sequence number
    double cpu = 0;              // of the sending thread

    void send(int firstSeq, int count, double bytesPerSecond) {
        QByteArray stream;
        for (int i = 0; i < count; ++i)
            stream += instrumentLine(firstSeq + i);
        const int64_t t0 = monoNs();
        qsizetype sent = 0;
        while (sent < stream.size()) {
            const double due = static_cast<double>(monoNs() - t0) / 1e9 * bytesPerSecond;
            const qsizetype upTo = std::min<qsizetype>(stream.size(), std::llround(due));
            if (upTo > sent) {
                const ssize_t n =
                    ::write(master, stream.constData() + sent, static_cast<size_t>(upTo - sent));
                if (n <= 0)
                    break;
                const int64_t now = monoNs();
                // A CR is a line end; the line it ends is the one its byte belongs to.
                for (qsizetype i = sent; i < sent + n; ++i)
                    if (stream[i] == '\r')
                        sentNs[static_cast<size_t>(firstSeq + i / kLineBytes)] = now;
                sent += n;
            }
            timespec pause{0, 1000000};
            nanosleep(&pause, nullptr);
        }
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        cpu = static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    }
};

void spinFor(int ms) {
    QEventLoop wait;
    QTimer::singleShot(ms, &wait, &QEventLoop::quit);
    wait.exec();
}

bool spinUntil(const std::function<bool()>& done, int timeoutMs) {
    const int64_t deadline = monoNs() + int64_t{timeoutMs} * 1000000;
    while (!done() && monoNs() < deadline)
        spinFor(2);
    return done();
}

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty())
        return 0;
    const auto rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const double phaseSeconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const double rates[] = {960, 3840, 11520, 92160};
    const char* bauds[] = {"9600", "38400", "115200", "921600"};

    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    QString path = QString::fromLocal8Bit(ttyname(slave));

    QTemporaryDir folder;
    loadStartValues(QFile::encodeName(folder.path()));
    SystemClock clock;
    PrintingSink sink;
    QuietView view;
    SerialPort port(clock, [path] { return QList<SerialDevice>{nodeDevice(path)}; });
    TimedSync sync;
    Logger logger(port, clock, sink, sync);
    logger.setView(&view);
    const AcquisitionLoop& loop = logger.loop();
    logger.beginLoop();

    int totalLines = 0;
    for (double rate : rates)
        totalLines += static_cast<int>(rate * phaseSeconds / kLineBytes);
    FileWatcher watcher(QFile::encodeName(folder.path()).toStdString(), totalLines);
    Instrument instrument{master, std::vector<int64_t>(static_cast<size_t>(totalLines), -1)};

    std::printf("phase of %.0f s each, %d-byte lines ending in CR LF, pty %s\n", phaseSeconds,
                kLineBytes, qPrintable(path));
    {
        const double cpu0 = processCpu() - watcher.cpuSeconds();
        const int64_t t0 = monoNs();
        spinFor(static_cast<int>(phaseSeconds * 1000));
        const double wall = static_cast<double>(monoNs() - t0) / 1e9;
        std::printf("idle (stopped): CPU %.3f%% of a core\n",
                    100 * (processCpu() - watcher.cpuSeconds() - cpu0) / wall);
    }

    int firstSeq = 0;
    for (size_t r = 0; r < std::size(rates); ++r) {
        const int count = static_cast<int>(rates[r] * phaseSeconds / kLineBytes);
        varlin_def.BaudRate = bauds[r];
        logger.startPressed();
        const int shown = view.records;
        const int64_t recordedBefore = watcher.recordedBytes();
        const int corruptBefore = watcher.damaged();
        spinUntil([&] { return loop.phase() == AcquisitionLoop::Phase::Sync; }, 2000);
        const QByteArray lead = "sync\r\nsync\r\nsync\r\nW warm-up\r\n";
        if (::write(master, lead.constData(), static_cast<size_t>(lead.size())) != lead.size() ||
            !spinUntil([&] { return view.records > shown; }, 5000)) {
            std::printf("the loop did not get in step\n");
            return 1;
        }

        sync.reset();
        const double cpu0 = processCpu() - watcher.cpuSeconds();
        const int64_t t0 = monoNs();
        QEventLoop streaming;
        std::thread sender([&] {
            instrument.send(firstSeq, count, rates[r]);
            QMetaObject::invokeMethod(&streaming, &QEventLoop::quit, Qt::QueuedConnection);
        });
        streaming.exec();
        sender.join();
        const double wall = static_cast<double>(monoNs() - t0) / 1e9;
        const double cpu = processCpu() - watcher.cpuSeconds() - cpu0 - instrument.cpu;
        const auto last = static_cast<size_t>(firstSeq + count - 1);
        spinUntil([&] { return watcher.seenNs(static_cast<int>(last)) >= 0; }, 2000);

        std::vector<double> latencyMs;
        int lost = 0;
        for (int seq = firstSeq; seq < firstSeq + count; ++seq) {
            const int64_t seen = watcher.seenNs(seq);
            if (seen < 0)
                ++lost;
            else
                latencyMs.push_back(
                    static_cast<double>(seen - instrument.sentNs[static_cast<size_t>(seq)]) / 1e6);
        }
        std::sort(latencyMs.begin(), latencyMs.end());
        const int64_t recorded = watcher.recordedBytes() - recordedBefore;
        std::printf("%6.0f bytes/s (%s baud): sent %d bytes in %d lines, recorded %lld bytes, "
                    "lines lost %d, corrupt %d; latency p50 %.2f ms, p99 %.2f ms, max %.2f ms; "
                    "CPU %.2f%% of a core\n",
                    rates[r], bauds[r], count * kLineBytes, count, static_cast<long long>(recorded),
                    lost, watcher.damaged() - corruptBefore, percentile(latencyMs, 0.5),
                    percentile(latencyMs, 0.99), latencyMs.empty() ? 0 : latencyMs.back(),
                    100 * cpu / wall);
        std::printf(
            "        fdatasync: %d calls, %.1f ms in all (%.3f%% of the time), max %.2f ms\n",
            sync.calls, static_cast<double>(sync.totalNs) / 1e6,
            100 * static_cast<double>(sync.totalNs) / 1e9 / wall,
            static_cast<double>(sync.maxNs) / 1e6);
        std::fflush(stdout);

        logger.stopPressed();
        spinUntil([&] { return loop.phase() == AcquisitionLoop::Phase::Idle; }, 2000);
        firstSeq += count;
    }
    logger.halt();
    ::close(slave);
    ::close(master);
    return view.ended ? 1 : 0;
}
