// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The programs under test, each reading its own pty, and the one writer that feeds them all.

#include <QByteArray>

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

/// One program under test: its pty, its process and where its records go.
struct Program {
    explicit Program(std::string programName) : name(std::move(programName)) {}
    std::string name;
    int master = -1;
    int slave = -1; // held open so the pty stays raw between the reader's opens
    std::string device;
    pid_t pid = -1;
    int input = -1;      // write end of the program's stdin
    std::string records; // the file its lines end up in
    qsizetype fed = 0;   // bytes of the current stream handed to its pty
};

/// A new pty for `p`, its slave raw and held open, its master non-blocking.
bool openRawPty(Program& p);

/// Starts argv for `p` with a pipe for stdin and stdout into `out`, offscreen if asked; false
/// if it could not be started.
bool spawn(Program& p, const std::vector<std::string>& argv, const std::string& out,
           bool offscreen);

bool alive(const Program& p);

/// When the lines of a stream entered the first program's pty, by sequence number: each CR by
/// the monotonic clock (-1 until sent), and each first byte by the wall clock in milliseconds
/// since the epoch, as the logger stamps it: the write that carried it began no earlier than
/// firstByteFromMs and had returned by firstByteByMs.
struct SentTimes {
    std::vector<int64_t> crNs;
    std::vector<int64_t> firstByteFromMs;
    std::vector<int64_t> firstByteByMs;
    /// Of the feeder's own 1 ms sleeps in the last paced feed, how many woke more than 1 ms
    /// late, and the latest: this machine's scheduling, which every program meets as well.
    int sleeps = 0;
    int lateSleeps = 0;
    int64_t latestNs = 0;
    void assign(size_t lines) {
        crNs.assign(lines, -1);
        firstByteFromMs.assign(lines, -1);
        firstByteByMs.assign(lines, -1);
    }
};

/// Hands `stream` to every program's pty: at `bytesPerSecond`, a few bytes each millisecond like
/// a UART, or (0) as fast as each pty takes it. Notes when each line entered the first
/// program's pty. Gives up on a program that stops reading for 30 s.
void feed(std::vector<Program>& programs, const QByteArray& stream, int firstSeq,
          double bytesPerSecond, SentTimes& sent);
