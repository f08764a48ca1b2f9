// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <sys/types.h>

/// What a process has used so far, summed over its live threads: time on a CPU (from the
/// scheduler, to the nanosecond) and context switches, voluntary (it waited, then woke up) and
/// involuntary (it was preempted).
struct ProcUsage {
    int64_t cpuNs = 0;
    int64_t voluntary = 0;
    int64_t involuntary = 0;

    ProcUsage operator-(const ProcUsage& before) const {
        return {cpuNs - before.cpuNs, voluntary - before.voluntary,
                involuntary - before.involuntary};
    }
};

ProcUsage procUsage(pid_t pid);

/// Resident memory in KiB (VmRSS), or -1 when the process is gone.
long procRssKb(pid_t pid);
/// The most resident memory the process has held so far, in KiB (VmHWM), or -1.
long procPeakRssKb(pid_t pid);

/// Nanoseconds on the monotonic clock, the one every timestamp of the benchmark uses.
int64_t monoNs();
