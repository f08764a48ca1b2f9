// SPDX-License-Identifier: GPL-3.0-or-later
#include "programs.h"

#include "numbered_lines.h"
#include "proc_stats.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

bool openRawPty(Program& p) {
    char name[128] = {};
    if (::openpty(&p.master, &p.slave, name, nullptr, nullptr) != 0)
        return false;
    termios raw{};
    ::tcgetattr(p.slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(p.slave, TCSANOW, &raw);
    ::fcntl(p.master, F_SETFL, ::fcntl(p.master, F_GETFL) | O_NONBLOCK);
    p.device = name;
    return true;
}

bool spawn(Program& p, const std::vector<std::string>& argv, const std::string& out,
           bool offscreen) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    const pid_t parent = ::getpid();
    p.pid = ::fork();
    if (p.pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(pipeFds[0], STDIN_FILENO);
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        if (offscreen) {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::setenv("XDG_RUNTIME_DIR", out.substr(0, out.rfind('/')).c_str(), 1);
        }
        std::vector<char*> args;
        args.reserve(argv.size() + 1);
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[0]);
    p.input = pipeFds[1];
    return p.pid > 0;
}

bool alive(const Program& p) {
    return p.pid > 0 && ::waitpid(p.pid, nullptr, WNOHANG) == 0;
}

void feed(std::vector<Program>& programs, const QByteArray& stream, int firstSeq,
          double bytesPerSecond, SentTimes& sent) {
    for (Program& p : programs)
        p.fed = 0;
    sent.sleeps = sent.lateSleeps = 0;
    sent.latestNs = 0;
    const int64_t t0 = monoNs();
    const double paceNs =
        bytesPerSecond > 0 ? static_cast<double>(stream.size()) / bytesPerSecond * 1e9 : 0;
    const int64_t deadline = t0 + static_cast<int64_t>(paceNs) + 30'000'000'000;
    for (bool done = false; !done && monoNs() < deadline;) {
        const double due = static_cast<double>(monoNs() - t0) / 1e9 * bytesPerSecond;
        const qsizetype upTo = bytesPerSecond > 0
                                   ? std::min<qsizetype>(stream.size(), std::llround(due))
                                   : stream.size();
        done = true;
        std::vector<pollfd> waiting;
        for (size_t i = 0; i < programs.size(); ++i) {
            Program& p = programs[i];
            const int64_t fromMs = QDateTime::currentMSecsSinceEpoch();
            const ssize_t n = p.fed < upTo ? ::write(p.master, stream.constData() + p.fed,
                                                     static_cast<size_t>(upTo - p.fed))
                                           : 0;
            if (n > 0 && i == 0) {
                const int64_t now = monoNs();
                const int64_t byMs = QDateTime::currentMSecsSinceEpoch();
                for (qsizetype at = p.fed; at < p.fed + n; ++at) {
                    const auto seq = static_cast<size_t>(firstSeq + at / kLineBytes);
                    if (stream[at] == '\r')
                        sent.crNs[seq] = now;
                    if (at % kLineBytes == 0) {
                        sent.firstByteFromMs[seq] = fromMs;
                        sent.firstByteByMs[seq] = byMs;
                    }
                }
            }
            p.fed += std::max<ssize_t>(n, 0);
            done = done && p.fed == stream.size();
            if (p.fed < stream.size())
                waiting.push_back({p.master, POLLOUT, 0});
        }
        if (bytesPerSecond > 0) {
            timespec pause{0, 1000000};
            const int64_t asleep = monoNs();
            ::nanosleep(&pause, nullptr);
            const int64_t lateNs = monoNs() - asleep - 1'000'000;
            ++sent.sleeps;
            sent.lateSleeps += lateNs > 1'000'000 ? 1 : 0;
            sent.latestNs = std::max(sent.latestNs, lateNs);
        } else if (!done) {
            ::poll(waiting.data(), waiting.size(), 10);
        }
    }
}
