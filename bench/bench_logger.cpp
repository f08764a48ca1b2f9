// SPDX-License-Identifier: GPL-3.0-or-later
// The logger as the operator runs it (the real main window, offscreen, with its real serial
// port on a pseudo-terminal) beside two peers in the same run: tio logging to a file and plain
// cat. Each reads its own pty; one writer feeds all three the same 60-byte CR LF lines at the
// same pace. Every program is a process of its own, measured from /proc per phase.
//
//   bench_logger [seconds per phase]   (default 15; ./setup.sh bench installs tio and runs it)

#include "numbered_lines.h"
#include "proc_stats.h"
#include "programs.h"

#include "acquisition/core/message_sink.h"
#include "acquisition/platform/file_calls.h"
#include "ui/frm_varlin.h"
#include "ui/logger_program.h"

#include <QApplication>
#include <QByteArray>
#include <QComboBox>
#include <QDate>
#include <QFile>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBurstBytes = 1 << 20;

// ---- the logger, in the child process -------------------------------------------------------

class PrintingSink final : public MessageSink {
public:
    void showMessage(const QString& text) override {
        std::fprintf(stderr, "logger message: %s\n", qPrintable(text));
    }
    void beep() override {}
};

// The system's file calls, with every flush made to take 1.5 s once asked: a worn SD card.
class SlowFlushes final : public FileCalls {
public:
    int dataSync(int fd) override {
        if (slow)
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return FileCalls::dataSync(fd);
    }
    std::atomic<bool> slow{false};
};

// Counts the plot's paintings, so the table's trend phase is known to have drawn.
class PaintCount final : public QObject {
public:
    using QObject::QObject;
    int paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return QObject::eventFilter(watched, event);
    }
};

void showTrend(Frm_Varlin& window) {
    window.findChild<QPushButton*>(QStringLiteral("cmd_trend"))->click();
    auto* trend = window.findChild<QWidget*>(QStringLiteral("Frm_Trend"));
    trend->findChild<QComboBox*>(QStringLiteral("cmb_trend_span"))
        ->setCurrentText(QStringLiteral("Last hour"));
    auto* plot = trend->findChild<QWidget*>(QStringLiteral("plot_trend"));
    auto* count = new PaintCount(trend);
    plot->installEventFilter(count);
    QObject::connect(trend, &QObject::destroyed, count, [count] {
        std::fprintf(stderr, "logger: the trend was drawn %d times\n", count->paints);
    });
}

// The real window on `device`; "start" on stdin clicks START, "trend" opens the trend window
// on its last hour and "no trend" closes it, "slow" makes every flush take 1.5 s from then on,
// the end of stdin the close box.
int runLoggerChild(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString device = QString::fromLocal8Bit(argv[2]);
    PrintingSink sink;
    static SlowFlushes files; // the storage thread may outlive the window at the end
    LoggerProgram child;
    child.files = &files;
    child.ports = [device] { return QList<SerialDevice>{nodeDevice(device)}; };
    child.messages = &sink;
    child.savePath = argv[3];
    child.shown = [](Frm_Varlin& window) {
        auto* commands = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &window);
        QObject::connect(commands, &QSocketNotifier::activated, &window, [&window] {
            char command[64];
            const ssize_t n = ::read(STDIN_FILENO, command, sizeof command);
            if (n <= 0)
                window.close();
            else if (QByteArray(command, n).startsWith("start"))
                window.findChild<QPushButton*>(QStringLiteral("Command1"))->click();
            else if (QByteArray(command, n).startsWith("slow"))
                files.slow = true;
            else if (QByteArray(command, n).startsWith("trend"))
                showTrend(window);
            else if (QByteArray(command, n).startsWith("no trend"))
                window.findChild<QWidget*>(QStringLiteral("Frm_Trend"))->close();
        });
    };
    return runLogger(child);
}

// Other work on the machine skews every figure: the table says how busy it was.
std::string loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "?\n";
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- phases and the table -------------------------------------------------------------------

struct Phase {
    explicit Phase(std::string phaseName, int first = 0, int count = 0)
        : name(std::move(phaseName)), firstSeq(first), lines(count) {}
    std::string name;
    int firstSeq = 0;
    int lines = 0;
    double seconds = 0;
    std::vector<ProcUsage> used; // per program
};

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty())
        return 0;
    const auto rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

class Bench {
public:
    Bench(double phaseSeconds, const char* self) : m_phaseSeconds(phaseSeconds), m_self(self) {}
    int run();

private:
    bool startPrograms();
    bool getInStep();
    bool tell(const char* command); // to the logger's window, on its stdin
    void measure(Phase phase, const std::function<void()>& work);
    void stream(const char* name, double bytesPerSecond, int lines);
    void waitForLastLine(int seq, int timeoutMs);
    void endPrograms();
    void printTable();
    std::string latencyText(const Phase& phase) const;

    double m_phaseSeconds;
    std::string m_self;
    QTemporaryDir m_dir;
    std::vector<Program> m_programs; // the logger first
    std::unique_ptr<FileWatcher> m_watcher;
    std::vector<int64_t> m_sentNs;
    std::vector<Phase> m_phases;
    int m_nextSeq = 0;
    long m_rssBeforeBurstKb = 0;
    long m_rssAfterBurstKb = 0;
    long m_peakBeforeSlowKb = 0;
    long m_peakAfterSlowKb = 0;
};

bool Bench::startPrograms() {
    const std::string dir = m_dir.path().toStdString();
    m_programs = {Program("logger"), Program("tio"), Program("cat")};
    for (Program& p : m_programs)
        if (!openRawPty(p))
            return false;
    Program& logger = m_programs[0];
    ::mkdir((dir + "/logger").c_str(), 0755);
    logger.records =
        dir + "/logger/" + QDate::currentDate().toString(u"yyyyMMdd").toStdString() + ".txt";
    Program& tio = m_programs[1];
    tio.records = dir + "/tio.log";
    Program& cat = m_programs[2];
    cat.records = dir + "/cat.out";
    return spawn(logger, {m_self, "--logger-child", logger.device, dir + "/logger"},
                 dir + "/logger.out", true) &&
           spawn(tio, {"tio", "-t", "-l", "--log-file", tio.records, tio.device}, dir + "/tio.out",
                 false) &&
           spawn(cat, {"cat", cat.device}, cat.records, false);
}

bool Bench::tell(const char* command) {
    const QByteArray line = QByteArray(command) + '\n';
    return ::write(m_programs[0].input, line.constData(), static_cast<size_t>(line.size())) ==
           line.size();
}

// START, then lines until the logger is in step and writes records.
bool Bench::getInStep() {
    if (!tell("start"))
        return false;
    std::vector<int64_t> unused(1);
    const int64_t deadline = monoNs() + 20'000'000'000;
    while (!QFile::exists(QString::fromStdString(m_programs[0].records))) {
        if (monoNs() > deadline)
            return false;
        feed(m_programs, "sync\r\n", 0, 0, unused);
        sleepMs(100);
    }
    feed(m_programs, "W warm-up\r\n", 0, 0, unused);
    QFile data(QString::fromStdString(m_programs[0].records));
    while (!(data.open(QIODevice::ReadOnly) && data.readAll().contains("W warm-up"))) {
        data.close();
        if (monoNs() > deadline)
            return false;
        sleepMs(20);
    }
    sleepMs(1000);
    return true;
}

void Bench::measure(Phase phase, const std::function<void()>& work) {
    std::vector<ProcUsage> before;
    for (const Program& p : m_programs)
        before.push_back(procUsage(p.pid));
    const int64_t t0 = monoNs();
    work();
    phase.seconds = static_cast<double>(monoNs() - t0) / 1e9;
    for (size_t i = 0; i < m_programs.size(); ++i) {
        const ProcUsage after = procUsage(m_programs[i].pid);
        phase.used.push_back(after - before[i]);
    }
    std::fprintf(stderr, "%s: %.1f s\n", phase.name.c_str(), phase.seconds);
    m_phases.push_back(phase);
}

void Bench::waitForLastLine(int seq, int timeoutMs) {
    const int64_t deadline = monoNs() + int64_t{timeoutMs} * 1'000'000;
    const auto done = [&] {
        return m_watcher->seenNs(seq) >= 0 && lastSeqIn(m_programs[1].records) >= seq &&
               lastSeqIn(m_programs[2].records) >= seq;
    };
    while (!done() && monoNs() < deadline)
        sleepMs(5);
}

// Numbered lines at a pace (or, at 0, all at once); the phase lasts until every program has
// recorded the last of them, or ten seconds more.
void Bench::stream(const char* name, double bytesPerSecond, int lines) {
    const int first = m_nextSeq;
    m_nextSeq += lines;
    QByteArray text;
    for (int seq = first; seq < first + lines; ++seq)
        text += instrumentLine(seq);
    measure(Phase(name, first, lines), [&] {
        feed(m_programs, text, first, bytesPerSecond, m_sentNs);
        waitForLastLine(first + lines - 1, 10'000);
    });
}

void Bench::endPrograms() {
    for (Program& p : m_programs) {
        ::close(p.input); // the logger closes its window, tio quits at the end of its input
        if (p.name == "cat")
            ::kill(p.pid, SIGTERM);
    }
    for (Program& p : m_programs) {
        for (int i = 0; i < 500 && alive(p); ++i)
            sleepMs(10);
        if (alive(p))
            ::kill(p.pid, SIGKILL);
        ::waitpid(p.pid, nullptr, 0);
    }
}

std::string Bench::latencyText(const Phase& phase) const {
    std::vector<double> ms;
    for (int seq = phase.firstSeq; seq < phase.firstSeq + phase.lines; ++seq)
        if (m_watcher->seenNs(seq) >= 0)
            ms.push_back(
                static_cast<double>(m_watcher->seenNs(seq) - m_sentNs[static_cast<size_t>(seq)]) /
                1e6);
    if (ms.empty())
        return "-";
    std::sort(ms.begin(), ms.end());
    char text[64];
    std::snprintf(text, sizeof text, "%.2f / %.2f / %.2f", percentile(ms, 0.5),
                  percentile(ms, 0.99), ms.back());
    return text;
}

void Bench::printTable() {
    std::vector<std::vector<bool>> recorded;
    for (const Program& p : m_programs)
        recorded.push_back(linesIn(p.records, m_nextSeq));
    std::printf(
        "| phase | program | lines recorded / sent | CPU %% of a core | wakeups/s "
        "(of them preempted) | latency p50 / p99 / max (ms) |\n|---|---|---|---|---|---|\n");
    for (const Phase& phase : m_phases) {
        for (size_t i = 0; i < m_programs.size(); ++i) {
            if (phase.name == "stopped" && i > 0)
                continue; // the peers have no stopped state
            int got = 0;
            for (int seq = phase.firstSeq; seq < phase.firstSeq + phase.lines; ++seq)
                got += recorded[i][static_cast<size_t>(seq)];
            const ProcUsage& u = phase.used[i];
            std::printf("| %s | %s | %d / %d | %.2f | %.1f (%.1f) | %s |\n", phase.name.c_str(),
                        m_programs[i].name.c_str(), got, phase.lines,
                        100.0 * static_cast<double>(u.cpuNs) / 1e9 / phase.seconds,
                        static_cast<double>(u.voluntary + u.involuntary) / phase.seconds,
                        static_cast<double>(u.involuntary) / phase.seconds,
                        i == 0 ? latencyText(phase).c_str() : "");
        }
    }
    std::printf("\nlogger: resident memory %.1f MB before the burst, %.1f MB after; records "
                "out of order %d, damaged %d\n",
                static_cast<double>(m_rssBeforeBurstKb) / 1024,
                static_cast<double>(m_rssAfterBurstKb) / 1024, m_watcher->outOfOrder(),
                m_watcher->damaged());
    std::printf("logger: most resident memory %.1f MB before the 1.5 s flushes, %.1f MB by "
                "their end\n",
                static_cast<double>(m_peakBeforeSlowKb) / 1024,
                static_cast<double>(m_peakAfterSlowKb) / 1024);
    std::printf("peers: tio -t -l --log-file <file> <pty> (its stdin an open pipe), cat <pty>\n");
}

int Bench::run() {
    const int paced[] = {11520, 92160};
    const int burstLines = kBurstBytes / kLineBytes;
    int total = burstLines;
    for (int rate : paced)
        total += static_cast<int>(rate * m_phaseSeconds / kLineBytes);
    total += 2 * static_cast<int>(paced[1] * m_phaseSeconds / kLineBytes); // trend, slow flushes
    m_sentNs.assign(static_cast<size_t>(total), -1);
    if (!startPrograms()) {
        std::fprintf(stderr, "could not start the programs\n");
        return 1;
    }
    m_watcher = std::make_unique<FileWatcher>(m_dir.path().toStdString() + "/logger", total);
    sleepMs(2000); // the window shown, tio connected
    for (const Program& p : m_programs)
        if (!alive(p)) {
            std::fprintf(stderr, "%s did not start (tio: ./setup.sh bench installs it)\n",
                         p.name.c_str());
            return 1;
        }
    const auto idle = [this] { sleepMs(static_cast<int>(m_phaseSeconds * 1000)); };
    measure(Phase("stopped"), idle);
    if (!getInStep()) {
        std::fprintf(stderr, "the logger did not get in step\n");
        return 1;
    }
    measure(Phase("receiving, line quiet"), idle);
    for (int rate : paced) {
        const int lines = static_cast<int>(rate * m_phaseSeconds / kLineBytes);
        stream(rate == paced[0] ? "11,520 B/s" : "92,160 B/s", rate, lines);
    }
    // The same stream once more with the trend drawing beside it.
    if (!tell("trend"))
        return 1;
    sleepMs(500);
    stream("92,160 B/s, trend open (1 h)", paced[1],
           static_cast<int>(paced[1] * m_phaseSeconds / kLineBytes));
    if (!tell("no trend"))
        return 1;
    m_rssBeforeBurstKb = procRssKb(m_programs[0].pid);
    stream("1 MB burst", 0, burstLines);
    sleepMs(1000);
    m_rssAfterBurstKb = procRssKb(m_programs[0].pid);
    // A worn SD card: every flush of the logger's takes 1.5 s (the peers do not flush).
    m_peakBeforeSlowKb = procPeakRssKb(m_programs[0].pid);
    if (!tell("slow"))
        return 1;
    stream("92,160 B/s, 1.5 s flushes", paced[1],
           static_cast<int>(paced[1] * m_phaseSeconds / kLineBytes));
    m_peakAfterSlowKb = procPeakRssKb(m_programs[0].pid);
    endPrograms();
    printTable();
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc == 4 && std::string(argv[1]) == "--logger-child")
        return runLoggerChild(argc, argv);
    const double phaseSeconds = argc > 1 ? std::atof(argv[1]) : 15.0;
    std::printf("%d-byte CR LF lines, %.0f s per phase, a 1 MiB burst; load average before: %s",
                kLineBytes, phaseSeconds, loadAverage().c_str());
    std::fflush(stdout);
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 1;
    Bench bench(phaseSeconds, self);
    const int result = bench.run();
    std::printf("load average after: %s", loadAverage().c_str());
    return result;
}
