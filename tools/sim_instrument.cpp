// SPDX-License-Identifier: GPL-3.0-or-later
// A laboratory balance on a pseudo-terminal, so the logger can be tried and tested without
// serial hardware. The first line on stdout is the device path it serves; after that it reports
// what the logger sends to it.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Options {
    long long intervalMs = 500; // between the starts of two sends; 0: as soon as the last is out
    long long byteRate = 0;     // bytes per second on the line; 0: as fast as the reader takes them
    long long burst = 1;        // lines in one burst
    long long burstEvery = 1;   // every n-th send is a burst
    long long emptyEvery = 0;   // every n-th line is empty
    long long noiseEvery = 0;   // every n-th line carries tab, NUL and a high byte
    long long count = -1;       // lines to send before exiting; -1: until stopped
    long long seed = -1;
    long long drainMs = 3000; // at exit, how long to wait for the reader to take what is pending
    bool showSent = false;
    bool onDemand = false; // sends a reading only when asked, as most balances leave the factory
    std::string commandEnd = "\r\n"; // what ends a command from the logger
    std::string lineEnd = "\r\n";    // what ends the balance's own lines
};

// A command the balance has not seen the end of yet grows no longer than this.
constexpr std::size_t kMaxCommand = 256;

// Unread bytes beyond which new lines are dropped: nobody is reading, and a real instrument
// does not wait for its listener.
constexpr std::size_t kMaxQueued = 4096;

volatile sig_atomic_t g_stopRequested = 0;

extern "C" void onStopSignal(int) {
    g_stopRequested = 1;
}
extern "C" void onIgnoredSignal(int) {}

const char kUsage[] =
    R"(Usage: tessaline-sim-balance [options]
Plays a laboratory balance on a pseudo-terminal. Prints the device path it serves as the first
line on stdout, then sends lines like "ST,+0012.345 g" ended by CR LF, and prints what it
receives as "received: <text>" (non-printable bytes as \r, \n, \t or \xNN).
Like a real balance it takes commands, each ended by CR LF: "P", "SI" or "Q" prints one
reading at once (reported as "answered: <line>"), "Z" zeroes the reading. A command without its
end, or any other text, is ignored.

  --interval-ms N   time between two sends (default 500; 0: next send as soon as the
                    previous one has been taken by the reader)
  --byte-rate N     pace the line at N bytes per second (960 is 9600 baud; default: unpaced)
  --burst N         a burst is N lines sent at once (default 1)
  --burst-every K   every K-th send is a burst, the others one line (default 1)
  --empty-every N   every N-th line is empty (CR LF alone)
  --noise N         every N-th line carries a tab, a NUL and a byte 0x80-0xFF
  --count N         send N lines, wait for them to be read, then exit
  --drain-ms N      with --count: how long to wait for the reader (default 3000)
  --seed N          seed of the wandering readings (default: random)
  --show-sent       also print every line sent as "sent: <text>"
  --command-end E   the end a command must have: crlf (default), cr or lf
  --lf-only         end its own lines with LF alone, as some sensor boards do
  --on-demand       print on demand: send nothing until asked (P, SI or Q)
  --help            this text

Ctrl+C (SIGINT), SIGTERM or SIGHUP stop it; it then closes the device and exits with 0.
)";

bool parseNumber(std::string_view text, long long& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && out >= 0;
}

// Returns 0 on success, 1 after --help, 2 on a bad command line.
int parseOptions(int argc, char* argv[], Options& opt) {
    struct NumberOption {
        const char* name;
        long long* target;
    };
    const NumberOption numbers[] = {
        {"--interval-ms", &opt.intervalMs},
        {"--byte-rate", &opt.byteRate},
        {"--burst", &opt.burst},
        {"--burst-every", &opt.burstEvery},
        {"--empty-every", &opt.emptyEvery},
        {"--noise", &opt.noiseEvery},
        {"--count", &opt.count},
        {"--drain-ms", &opt.drainMs},
        {"--seed", &opt.seed},
    };
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        }
        if (arg == "--show-sent") {
            opt.showSent = true;
            continue;
        }
        if (arg == "--lf-only") {
            opt.lineEnd = "\n";
            continue;
        }
        if (arg == "--on-demand") {
            opt.onDemand = true;
            continue;
        }
        std::string_view value;
        if (auto eq = arg.find('='); eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        }
        if (arg == "--command-end") {
            const auto end = value == "crlf" ? "\r\n"
                             : value == "cr" ? "\r"
                             : value == "lf" ? "\n"
                                             : "";
            if (*end == '\0') {
                std::fprintf(stderr, "tessaline-sim-balance: --command-end takes crlf, cr or lf\n");
                return 2;
            }
            opt.commandEnd = end;
            continue;
        }
        auto known = std::find_if(std::begin(numbers), std::end(numbers),
                                  [&](const NumberOption& n) { return arg == n.name; });
        if (known == std::end(numbers) || !parseNumber(value, *known->target)) {
            std::fprintf(stderr, "tessaline-sim-balance: bad option %.*s\n%s",
                         static_cast<int>(arg.size()), arg.data(), kUsage);
            return 2;
        }
    }
    if (opt.burst < 1 || opt.burstEvery < 1) {
        std::fprintf(stderr,
                     "tessaline-sim-balance: --burst and --burst-every must be at least 1\n");
        return 2;
    }
    return 0;
}

/// The readings of a balance: a load that drifts slowly (evaporation), reading noise, and now
/// and then a new load that the balance reports as unstable ("US") until it settles.
class Balance {
public:
    explicit Balance(unsigned seed) : m_rng(seed) {}

    std::string nextReading() {
        std::uniform_int_distribution<int> oneIn(0, 59);
        if (oneIn(m_rng) == 0) {
            std::uniform_real_distribution<double> newLoad(0.0, 250.0);
            m_load = newLoad(m_rng);
            m_settling = 4;
        }
        m_load -= 0.0004;
        std::normal_distribution<double> noise(0.0, 0.0015);
        double shown = m_load + noise(m_rng);
        if (m_settling > 0) {
            shown += (m_shown - m_load) * 0.35 + noise(m_rng) * 40.0;
            --m_settling;
        }
        m_shown = std::clamp(shown, -9999.999, 9999.999);
        shown = std::clamp(m_shown - m_zero, -9999.999, 9999.999);
        char text[32];
        std::snprintf(text, sizeof text, "%s,%c%08.3f g", m_settling > 0 ? "US" : "ST",
                      shown < 0 ? '-' : '+', std::fabs(shown));
        return text;
    }

    // What is on the pan now reads zero.
    void zero() { m_zero = m_shown; }

    unsigned char highByte() {
        return static_cast<unsigned char>(std::uniform_int_distribution<int>(0x80, 0xFF)(m_rng));
    }

private:
    std::mt19937 m_rng;
    double m_load = 12.345; // grams on the pan
    double m_shown = 12.345;
    double m_zero = 0.0; // the load the operator zeroed
    int m_settling = 0;
};

std::string escaped(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\r') {
            out += "\\r";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

void report(const char* prefix, std::string_view bytes) {
    std::printf("%s: %s\n", prefix, escaped(bytes).c_str());
    std::fflush(stdout);
}

class Instrument {
public:
    Instrument(const Options& opt, int master, int slave)
        : m_opt(opt), m_master(master), m_slave(slave),
          m_balance(opt.seed >= 0 ? static_cast<unsigned>(opt.seed) : std::random_device{}()) {}

    int run();

private:
    std::string makeLine() {
        ++m_lines;
        if (m_opt.emptyEvery > 0 && m_lines % m_opt.emptyEvery == 0)
            return m_opt.lineEnd;
        std::string line = m_balance.nextReading();
        if (m_opt.noiseEvery > 0 && m_lines % m_opt.noiseEvery == 0) {
            line.insert(3, 1, '\t');               // after "ST,"
            line.insert(line.size() - 2, 1, '\0'); // before " g"
            line += static_cast<char>(m_balance.highByte());
        }
        return line + m_opt.lineEnd;
    }

    bool producing() const { return m_opt.count < 0 || m_lines < m_opt.count; }
    // Lines of its own accord, not only as answers.
    bool sendingByItself() const { return !m_opt.onDemand && producing(); }

    void send(SteadyClock::time_point now) {
        const long long lines = ++m_sends % m_opt.burstEvery == 0 ? m_opt.burst : 1;
        // Only a backlog from earlier sends means nobody reads; a burst itself may be long.
        const bool backlog = m_queue.size() > kMaxQueued;
        for (long long i = 0; i < lines && producing(); ++i) {
            std::string line = makeLine();
            if (backlog) {
                if (m_dropped++ == 0)
                    std::fprintf(stderr,
                                 "tessaline-sim-balance: nobody is reading, dropping lines\n");
                continue;
            }
            m_dropped = 0;
            if (m_opt.showSent)
                report("sent", line);
            m_queue += line;
        }
        m_nextSend =
            m_opt.intervalMs > 0 ? std::max(m_nextSend + milliseconds(m_opt.intervalMs), now) : now;
    }

    void writePending(SteadyClock::time_point now) {
        if (m_queue.empty() || now < m_nextByte)
            return;
        const std::size_t chunk = m_opt.byteRate > 0 ? 1 : m_queue.size();
        const ssize_t n = ::write(m_master, m_queue.data(), chunk);
        if (n <= 0)
            return; // EAGAIN: the reader's buffer is full; poll says when it has room
        m_queue.erase(0, static_cast<std::size_t>(n));
        if (m_opt.byteRate > 0)
            m_nextByte = std::max(m_nextByte + std::chrono::microseconds(1000000 / m_opt.byteRate),
                                  now - milliseconds(1));
    }

    // When the loop has something to do other than react to the device.
    SteadyClock::time_point nextWake(SteadyClock::time_point now) const {
        auto wake = now + std::chrono::seconds(1);
        // On demand only a command, or the pacing below, wakes it.
        if (!producing())
            wake = now + milliseconds(20); // watching the reader drain what is left
        else if (!m_opt.onDemand && m_opt.intervalMs > 0)
            wake = m_nextSend;
        else if (!m_opt.onDemand && m_queue.empty())
            wake = now;
        if (!m_queue.empty() && m_nextByte > now)
            wake = std::min(wake, m_nextByte);
        return wake;
    }

    void readReceived() {
        char buf[512];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            return;
        report("received", std::string_view(buf, static_cast<std::size_t>(n)));
        for (ssize_t i = 0; i < n; ++i) {
            m_command += buf[i];
            if (m_command.ends_with(m_opt.commandEnd)) {
                m_command.resize(m_command.size() - m_opt.commandEnd.size());
                obey(m_command);
                m_command.clear();
            } else if (m_command.size() > kMaxCommand) {
                m_command.clear();
            }
        }
    }

    void obey(const std::string& command) {
        if (command == "P" || command == "SI" || command == "Q") {
            const std::string line = m_balance.nextReading() + m_opt.lineEnd;
            report("answered", line);
            m_queue += line;
        } else if (command == "Z") {
            m_balance.zero();
            report("zeroed", command);
        }
    }

    // Bytes written to the device that its reader has not taken yet. Written bytes reach the
    // device's count a moment later; polling the device first waits for that.
    std::size_t unread() const {
        pollfd fd{m_slave, POLLIN, 0};
        ::poll(&fd, 1, 0);
        int waiting = 0;
        if (::ioctl(m_slave, FIONREAD, &waiting) != 0)
            return 0;
        return m_queue.size() + static_cast<std::size_t>(waiting);
    }

    const Options& m_opt;
    int m_master;
    int m_slave;
    Balance m_balance;
    std::string m_queue;   // lines sent but not yet accepted by the device
    std::string m_command; // received since the last command's end
    long long m_lines = 0;
    long long m_sends = 0;
    long long m_dropped = 0;
    SteadyClock::time_point m_nextSend = SteadyClock::now();
    SteadyClock::time_point m_nextByte = SteadyClock::now();
};

int Instrument::run() {
    sigset_t waitMask;
    sigemptyset(&waitMask);
    std::size_t lastUnread = 0;
    SteadyClock::time_point drainDeadline{};
    while (!g_stopRequested) {
        const auto now = SteadyClock::now();
        if (sendingByItself() && now >= m_nextSend && (m_opt.intervalMs > 0 || m_queue.empty()))
            send(now);
        writePending(now);
        if (!producing()) {
            const std::size_t left = unread();
            if (left == 0)
                break;
            if (left != lastUnread || drainDeadline == SteadyClock::time_point{})
                drainDeadline = now + milliseconds(m_opt.drainMs);
            lastUnread = left;
            if (now >= drainDeadline) {
                std::fprintf(stderr, "tessaline-sim-balance: %zu bytes left unread after %lld ms\n",
                             left, m_opt.drainMs);
                break;
            }
        }

        const auto waitNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::clamp(nextWake(now) - now, SteadyClock::duration::zero(),
                       SteadyClock::duration(std::chrono::seconds(1))));
        const timespec timeout{static_cast<time_t>(waitNs.count() / 1000000000),
                               static_cast<long>(waitNs.count() % 1000000000)};
        pollfd fd{m_master, POLLIN, 0};
        if (!m_queue.empty() && now >= m_nextByte)
            fd.events |= POLLOUT;
        // Stop signals are blocked except inside ppoll, so none is missed between checks.
        if (::ppoll(&fd, 1, &timeout, &waitMask) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("tessaline-sim-balance: poll");
            return 1;
        }
        if (fd.revents & POLLIN)
            readReceived();
    }
    return 0;
}

void installSignals() {
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    struct sigaction ignore = stop;
    ignore.sa_handler = onIgnoredSignal; // a closed stdout must not kill the device
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &stop, nullptr);
        sigaddset(&blocked, sig);
    }
    sigaction(SIGPIPE, &ignore, nullptr);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

} // namespace

int main(int argc, char* argv[]) {
    Options opt;
    if (const int rc = parseOptions(argc, argv, opt); rc != 0)
        return rc == 1 ? 0 : rc;
    installSignals();

    termios raw{};
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    int master = -1;
    int slave = -1; // held open so the device neither vanishes nor hangs up between opens
    char path[256] = {};
    if (::openpty(&master, &slave, path, &raw, nullptr) != 0) {
        std::perror("tessaline-sim-balance: openpty");
        return 1;
    }
    const int flags = ::fcntl(master, F_GETFL);
    ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
    std::printf("%s\n", path);
    std::fflush(stdout);

    Instrument instrument(opt, master, slave);
    const int rc = instrument.run();
    ::close(master);
    ::close(slave);
    return rc;
}
