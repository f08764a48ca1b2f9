// SPDX-License-Identifier: GPL-3.0-or-later
// A null-modem cable between two pseudo-terminals, for the Windows tests under Wine: the test
// maps one end to the logger's COM port and plays the instrument on the other. Native Linux,
// started by tests/windows/wine-test.sh before the test program.
//
//   null-modem CONTROL_FOLDER
//
// Prints the two ends' device paths, one per line, then carries bytes both ways. While a file
// "pull" exists in CONTROL_FOLDER the logger's end is gone, as a USB adapter pulled out: its
// pty is closed. Once the file is removed, and the logger has let go of the old device, the end
// comes back under the same path.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct End {
    int master = -1;
    int slave = -1; // held, so the other side's closing it never hangs the master up
    std::string path;
};

bool openEnd(End& end) {
    if (::openpty(&end.master, &end.slave, nullptr, nullptr, nullptr) != 0)
        return false;
    termios raw{};
    ::tcgetattr(end.slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(end.slave, TCSANOW, &raw);
    ::fcntl(end.master, F_SETFL, O_NONBLOCK);
    end.path = ::ptsname(end.master);
    return true;
}

void closeEnd(End& end) {
    ::close(end.master);
    ::close(end.slave);
    end.master = end.slave = -1;
}

// The lowest free pty number is handed out first: the ones below the wanted path are held
// until it comes round, then given back.
bool reopenAs(End& end, const std::string& path) {
    std::vector<End> held;
    bool found = false;
    for (int tries = 0; tries < 64 && !found; ++tries) {
        End next;
        if (!openEnd(next))
            break;
        if (next.path == path) {
            end = next;
            found = true;
        } else {
            held.push_back(next);
        }
    }
    for (End& other : held)
        closeEnd(other);
    return found;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Copies what one master has read to the other; what the other cannot take now is dropped, as
// a line would.
void carry(int from, int to) {
    char bytes[4096];
    const ssize_t n = ::read(from, bytes, sizeof bytes);
    if (n > 0 && to >= 0) [[maybe_unused]]
        const ssize_t sent = ::write(to, bytes, static_cast<size_t>(n));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: null-modem CONTROL_FOLDER\n");
        return 2;
    }
    // Gone with the script that laid the cable, however that ends.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const std::string pull = std::string(argv[1]) + "/pull";
    End logger;
    End instrument;
    if (!openEnd(logger) || !openEnd(instrument)) {
        std::perror("openpty");
        return 1;
    }
    const std::string loggerPath = logger.path;
    std::printf("%s\n%s\n", logger.path.c_str(), instrument.path.c_str());
    std::fflush(stdout);
    for (;;) {
        const bool pulled = exists(pull);
        if (pulled && logger.master >= 0) {
            closeEnd(logger);
        } else if (!pulled && logger.master < 0 && !exists(loggerPath)) {
            // The old pty lives on, its node with it, until the logger lets go of it.
            reopenAs(logger, loggerPath);
        }
        pollfd fds[2] = {{instrument.master, POLLIN, 0}, {logger.master, POLLIN, 0}};
        const nfds_t count = logger.master >= 0 ? 2 : 1;
        if (::poll(fds, count, 10) < 0 && errno != EINTR)
            return 1;
        if (fds[0].revents & POLLIN)
            carry(instrument.master, logger.master);
        if (count == 2 && (fds[1].revents & POLLIN))
            carry(logger.master, instrument.master);
    }
}
