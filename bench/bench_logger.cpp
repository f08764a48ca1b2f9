// SPDX-License-Identifier: GPL-3.0-or-later
// The logger as the operator runs it (the real main window, offscreen, with its real serial
// port on a pseudo-terminal) beside two peers in the same run: tio logging to a file and plain
// cat. Each reads its own pty; one writer feeds all three the same 60-byte CR LF lines at the
// same pace. Every program is a process of its own, measured from /proc per phase. The
// spreadsheet copy is measured against 92,160 B/s without it in the same run, as the operator
// turns it on: STOP, the settings window, START.
//
//   bench_logger [seconds per phase]   (default 15; ./setup.sh bench installs tio and runs it)

#include "csv_phase.h"
#include "numbered_lines.h"
#include "proc_stats.h"
#include "programs.h"

#include "acquisition/core/message_sink.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/file_calls.h"
#include "ui/frm_varlin.h"
#include "ui/logger_program.h"

#include <QApplication>
#include <QByteArray>
#include <QCheckBox>
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
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBurstBytes = 1 << 20;
// Two values a row, a balance's net and tare; the bench's lines carry one number, so the
// second is looked for through the whole line.
constexpr int kCsvNumbers = 2;
// What the copy may cost the logger beside the same stream without it.
constexpr double kCsvMostCpuPoints = 1.0;
constexpr double kCsvMostRssMb = 2.0;

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

// As the operator does it, between STOP and START: the settings window, its CSV frame, Close.
// No values a row turns the copy off.
void setCsvCopy(Frm_Varlin& window, int numbers) {
    window.findChild<QPushButton*>(QStringLiteral("Command2"))->click();
    auto* settings = window.findChild<QWidget*>(QStringLiteral("Frm_Savepath"));
    if (!settings) {
        std::fprintf(stderr, "logger: Setting does not open while running\n");
        return;
    }
    settings->findChild<QCheckBox*>(QStringLiteral("chk_csv"))->setChecked(numbers > 0);
    if (numbers > 0)
        settings->findChild<QComboBox*>(QStringLiteral("cmb_csv_numbers"))
            ->setCurrentText(QString::number(numbers));
    settings->findChild<QPushButton*>(QStringLiteral("Command1"))->click();
    std::fprintf(stderr, "logger: spreadsheet copy %s, %d values a row, decimal %s\n",
                 varlin_def.CsvCopy == kTrue ? "on" : "off", varlin_def.CsvNumbers,
                 varlin_def.CsvDecimalComma == kTrue ? "comma" : "point");
}

// One command of the bench's, on the logger's stdin: "start" clicks START and "stop" STOP,
// "csv <n>" sets the spreadsheet copy while stopped, "trend" opens the trend window on its last
// hour and "no trend" closes it, "slow" makes every flush take 1.5 s from then on.
void obey(Frm_Varlin& window, SlowFlushes& files, const QByteArray& command) {
    if (command == "start")
        window.findChild<QPushButton*>(QStringLiteral("Command1"))->click();
    else if (command == "stop")
        window.findChild<QPushButton*>(QStringLiteral("Command4"))->click();
    else if (command.startsWith("csv "))
        setCsvCopy(window, command.sliced(4).toInt());
    else if (command == "slow")
        files.slow = true;
    else if (command == "trend")
        showTrend(window);
    else if (command == "no trend")
        window.findChild<QWidget*>(QStringLiteral("Frm_Trend"))->close();
}

// The real window on `device`, obeying the lines on stdin; the end of stdin is the close box.
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
        // Stamped to the millisecond, so the bench can hold each stamp against the time the
        // line's first byte was sent.
        varlin_def.StampDateTime = kTrue;
        varlin_def.StampMillis = kTrue;
        auto* commands = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &window);
        QObject::connect(commands, &QSocketNotifier::activated, &window, [&window] {
            // Two commands sent close together may come in one read.
            static QByteArray pending;
            char bytes[256];
            const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
            if (n <= 0) {
                window.close();
                return;
            }
            pending.append(bytes, n);
            for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1))
                obey(window, files, pending.first(end));
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
    int sleeps = 0;              // the feeder's, and those woken more than 1 ms late
    int lateSleeps = 0;
    int64_t latestNs = 0;
};

// A 92,160 B/s phase with the spreadsheet copy on or off, just after a START.
struct CsvPhase {
    bool on = false;
    size_t phase = 0; // in the table
    long rssStartKb = 0;
    long rssPeakKb = 0;
    long rssEndKb = 0;
};

double cpuPercent(const Phase& phase, size_t program) {
    return 100.0 * static_cast<double>(phase.used[program].cpuNs) / 1e9 / phase.seconds;
}

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
    bool warmUp();
    bool restartWithCsv(int numbers);
    bool csvPhases(double bytesPerSecond, int lines);
    void printCsvCost();
    void printCsvFiles();
    bool tell(const char* command); // to the logger's window, on its stdin
    void measure(Phase phase, const std::function<void()>& work);
    void stream(const char* name, double bytesPerSecond, int lines);
    void waitForLastLine(int seq, int timeoutMs);
    void endPrograms();
    void printTable();
    bool checkRecords() const;
    std::string latencyText(const Phase& phase) const;

    double m_phaseSeconds;
    std::string m_self;
    QTemporaryDir m_dir;
    std::vector<Program> m_programs; // the logger first
    std::unique_ptr<FileWatcher> m_watcher;
    SentTimes m_sent;
    std::vector<Phase> m_phases;
    int m_nextSeq = 0;
    long m_rssBeforeBurstKb = 0;
    long m_rssAfterBurstKb = 0;
    long m_peakBeforeSlowKb = 0;
    long m_peakAfterSlowKb = 0;
    int m_warmUps = 0;
    std::vector<CsvPhase> m_csvPhases;
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
    return tell("start") && warmUp();
}

// A START skips the line it comes in: lines until one of them is in the data file.
bool Bench::warmUp() {
    SentTimes unused;
    unused.assign(1);
    const QByteArray line = "W warm-up " + QByteArray::number(++m_warmUps);
    QFile data(QString::fromStdString(m_programs[0].records));
    const int64_t deadline = monoNs() + 20'000'000'000;
    for (int64_t next = 0;;) {
        if (data.open(QIODevice::ReadOnly)) {
            data.seek(std::max<qint64>(0, data.size() - 4096));
            if (data.readAll().contains(line + "\r\n"))
                break;
            data.close();
        }
        if (monoNs() > deadline)
            return false;
        if (monoNs() > next) {
            feed(m_programs, "sync\r\n" + line + "\r\n", 0, 0, unused);
            next = monoNs() + 200'000'000;
        }
        sleepMs(20);
    }
    sleepMs(1000);
    return true;
}

// STOP, the spreadsheet copy set in the settings window (0: off), START, in step.
bool Bench::restartWithCsv(int numbers) {
    if (!tell("stop"))
        return false;
    sleepMs(500);
    if (!tell(("csv " + std::to_string(numbers)).c_str()))
        return false;
    sleepMs(500);
    return getInStep();
}

// Off, on, on, off: a drift of the machine or of the heap over the four weighs on both alike.
bool Bench::csvPhases(double bytesPerSecond, int lines) {
    const pid_t logger = m_programs[0].pid;
    int round[2] = {0, 0};
    for (const bool on : {false, true, true, false}) {
        if (!restartWithCsv(on ? kCsvNumbers : 0))
            return false;
        CsvPhase phase;
        phase.on = on;
        phase.phase = m_phases.size();
        const std::string name = on ? "92,160 B/s, CSV on, " + std::to_string(kCsvNumbers) +
                                          " values (" + std::to_string(++round[1]) + ")"
                                    : "92,160 B/s, CSV off (" + std::to_string(++round[0]) + ")";
        phase.rssStartKb = procRssKb(logger);
        RssPeak peak(logger);
        stream(name.c_str(), bytesPerSecond, lines);
        phase.rssPeakKb = peak.stop();
        phase.rssEndKb = procRssKb(logger);
        m_csvPhases.push_back(phase);
    }
    return restartWithCsv(0);
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
        feed(m_programs, text, first, bytesPerSecond, m_sent);
        waitForLastLine(first + lines - 1, 10'000);
    });
    m_phases.back().sleeps = m_sent.sleeps;
    m_phases.back().lateSleeps = m_sent.lateSleeps;
    m_phases.back().latestNs = m_sent.latestNs;
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
            ms.push_back(static_cast<double>(m_watcher->seenNs(seq) -
                                             m_sent.crNs[static_cast<size_t>(seq)]) /
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

// Every phase's lines in the data file, each once and in order, each stamped within a
// millisecond of the time its first byte entered the pty. A burst is sent faster than the line
// carries it, its lines wait in the pty, and so its stamps are not held to the time it was
// sent. False, and why, when a phase fails.
bool Bench::checkRecords() const {
    constexpr int64_t kMostStampOffMs = 1;
    const std::vector<bool> recorded = linesIn(m_programs[0].records, m_nextSeq);
    bool good = true;
    std::printf("\nlogger's records per phase (lost, reordered, stamps more than %lld ms past "
                "the write of the line's first byte, or before it; the worst offset), and beside "
                "them how often the feeder's own 1 ms sleeps woke more than 1 ms late (this "
                "machine's scheduling, which the logger's reading thread meets too):\n\n| phase "
                "| lost | reordered | stamps off | worst (ms) | feeder's sleeps late / all, "
                "latest (ms) |\n|---|---|---|---|---|---|\n",
                static_cast<long long>(kMostStampOffMs));
    for (const Phase& phase : m_phases) {
        if (phase.lines == 0)
            continue;
        const bool paced = phase.name != "1 MB burst";
        int lost = 0;
        int reordered = 0;
        int stampsOff = 0;
        int64_t worst = 0;
        for (int seq = phase.firstSeq; seq < phase.firstSeq + phase.lines; ++seq) {
            const auto at = static_cast<size_t>(seq);
            lost += recorded[at] ? 0 : 1;
            reordered += m_watcher->reordered(seq) ? 1 : 0;
            if (!recorded[at])
                continue;
            // How far the stamp lies outside the milliseconds of the write that carried the
            // line's first byte (the stamp's are whole).
            const int64_t stamp = m_watcher->stampMs(seq);
            const int64_t off = stamp < 0 ? std::numeric_limits<int64_t>::max()
                                : stamp < m_sent.firstByteFromMs[at]
                                    ? stamp - m_sent.firstByteFromMs[at]
                                    : std::max<int64_t>(0, stamp - m_sent.firstByteByMs[at]);
            if (std::abs(off) > std::abs(worst))
                worst = off;
            stampsOff += std::abs(off) > kMostStampOffMs ? 1 : 0;
        }
        const bool fails = lost > 0 || reordered > 0 || (paced && stampsOff > 0);
        good = good && !fails;
        std::printf("| %s | %d | %d | %s | %s | %d / %d, %.1f |%s\n", phase.name.c_str(), lost,
                    reordered, paced ? std::to_string(stampsOff).c_str() : "not held (burst)",
                    worst == std::numeric_limits<int64_t>::max() ? "no stamp"
                                                                 : std::to_string(worst).c_str(),
                    phase.lateSleeps, phase.sleeps, static_cast<double>(phase.latestNs) / 1e6,
                    fails ? " FAILS" : "");
    }
    if (!good)
        std::printf("\nFAILED: the logger lost, reordered or misstamped records (above)\n");
    return good;
}

// The copy's cost: the mean of its phases less the mean of the same phases without it.
void Bench::printCsvCost() {
    const double mb = 1024;
    double cpu[3][2] = {}; // per program, off and on: sums, then means
    double peakMb[2] = {0, 0};
    int count[2] = {0, 0};
    std::printf("\nspreadsheet copy, %d values a row, each phase just after a START:\n\n| phase | "
                "logger CPU %% of a core | resident MB at start / most / at end |\n|---|---|---|\n",
                kCsvNumbers);
    for (const CsvPhase& c : m_csvPhases) {
        const Phase& phase = m_phases[c.phase];
        std::printf("| %s | %.2f | %.1f / %.1f / %.1f |\n", phase.name.c_str(),
                    cpuPercent(phase, 0), static_cast<double>(c.rssStartKb) / mb,
                    static_cast<double>(c.rssPeakKb) / mb, static_cast<double>(c.rssEndKb) / mb);
        for (size_t i = 0; i < 3; ++i)
            cpu[i][c.on] += cpuPercent(phase, i);
        peakMb[c.on] += static_cast<double>(c.rssPeakKb) / mb;
        ++count[c.on];
    }
    if (count[0] == 0 || count[1] == 0)
        return;
    for (const int on : {0, 1}) {
        for (auto& program : cpu)
            program[on] /= count[on];
        peakMb[on] /= count[on];
    }
    const double cpuMore = cpu[0][1] - cpu[0][0];
    const double rssMore = peakMb[1] - peakMb[0];
    std::printf("\nCSV on less off (means): CPU %+.2f points of a core (%.2f against %.2f), most "
                "resident memory %+.2f MB (%.1f against %.1f)\n",
                cpuMore, cpu[0][1], cpu[0][0], rssMore, peakMb[1], peakMb[0]);
    // Each on phase against the off phase beside it: how far apart they are says how steady
    // the machine was.
    if (m_csvPhases.size() == 4)
        std::printf("CPU, each on phase less the off phase beside it: %+.2f, %+.2f points\n",
                    cpuPercent(m_phases[m_csvPhases[1].phase], 0) -
                        cpuPercent(m_phases[m_csvPhases[0].phase], 0),
                    cpuPercent(m_phases[m_csvPhases[2].phase], 0) -
                        cpuPercent(m_phases[m_csvPhases[3].phase], 0));
    // The peers do the same work in every phase: a change in theirs is the machine's.
    std::printf("peers over the same phases, on against off: tio %.2f against %.2f, cat %.2f "
                "against %.2f\n",
                cpu[1][1], cpu[1][0], cpu[2][1], cpu[2][0]);
    std::printf("bound: CPU at most %+.0f point: %s; resident memory under %+.0f MB: %s\n",
                kCsvMostCpuPoints, cpuMore <= kCsvMostCpuPoints ? "holds" : "DOES NOT HOLD",
                kCsvMostRssMb, rssMore < kCsvMostRssMb ? "holds" : "DOES NOT HOLD");
}

// Whether the data file is the same with the copy as without, and the copy has a row for each
// record written while it was on.
void Bench::printCsvFiles() {
    QFile dataFile(QString::fromStdString(m_programs[0].records));
    const QByteArray data = dataFile.open(QIODevice::ReadOnly) ? dataFile.readAll() : QByteArray();
    QFile csvFile(QString::fromStdString(m_programs[0].records).chopped(4) +
                  QStringLiteral(".csv"));
    const QByteArray csv = csvFile.open(QIODevice::ReadOnly) ? csvFile.readAll() : QByteArray();
    bool asSent[2] = {true, true};
    bool rowEach = true;
    int onLines = 0;
    for (const CsvPhase& c : m_csvPhases) {
        const Phase& phase = m_phases[c.phase];
        asSent[c.on] = asSent[c.on] && stretchAsSent(data, phase.firstSeq, phase.lines);
        if (!c.on)
            continue;
        const CsvRows rows = csvRowsFor(csv, phase.firstSeq, phase.lines);
        rowEach = rowEach && rows.forLines == phase.lines && rows.distinct == phase.lines &&
                  rows.wrongValue == 0;
        onLines += phase.lines;
    }
    // Rows for the numbered lines of the whole run: those of the CSV-on phases alone.
    const CsvRows all = csvRowsFor(csv, 0, m_nextSeq);
    std::printf("data file: the records of the CSV-on phases byte for byte as sent, nothing "
                "between them: %s; of the CSV-off phases: %s\n",
                asSent[1] ? "yes" : "NO", asSent[0] ? "yes" : "NO");
    std::printf("%s: header row %s; rows %d, of them for numbered lines %d (the CSV-on phases "
                "sent %d); one row per record, its first value the line's number: %s\n",
                qPrintable(csvFile.fileName().section(QLatin1Char('/'), -1)),
                all.header ? "yes" : "NO", all.rows, all.forLines, onLines,
                rowEach && all.forLines == onLines ? "yes" : "NO");
}

int Bench::run() {
    const int paced[] = {11520, 92160};
    const int burstLines = kBurstBytes / kLineBytes;
    int total = burstLines;
    for (int rate : paced)
        total += static_cast<int>(rate * m_phaseSeconds / kLineBytes);
    const int fastLines = static_cast<int>(paced[1] * m_phaseSeconds / kLineBytes);
    total += 6 * fastLines; // trend, slow flushes, the spreadsheet copy's four
    m_sent.assign(static_cast<size_t>(total));
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
    stream("92,160 B/s, trend open (1 h)", paced[1], fastLines);
    if (!tell("no trend"))
        return 1;
    if (!csvPhases(paced[1], fastLines)) {
        std::fprintf(stderr, "the logger did not get in step after a STOP\n");
        return 1;
    }
    m_rssBeforeBurstKb = procRssKb(m_programs[0].pid);
    stream("1 MB burst", 0, burstLines);
    sleepMs(1000);
    m_rssAfterBurstKb = procRssKb(m_programs[0].pid);
    // A worn SD card: every flush of the logger's takes 1.5 s (the peers do not flush).
    m_peakBeforeSlowKb = procPeakRssKb(m_programs[0].pid);
    if (!tell("slow"))
        return 1;
    stream("92,160 B/s, 1.5 s flushes", paced[1], fastLines);
    m_peakAfterSlowKb = procPeakRssKb(m_programs[0].pid);
    endPrograms();
    printTable();
    printCsvCost();
    printCsvFiles();
    return checkRecords() ? 0 : 1;
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
