#pragma once

#include <cstdint>
#include <sys/types.h>

/// What a process has used so far, summed over its live threads: time on a CPU (from the
/// scheduler, to the nanosecond) and context switches, voluntary plus involuntary (each one a
/// wakeup or a preemption).
struct ProcUsage {
    int64_t cpuNs = 0;
    int64_t switches = 0;
};

ProcUsage procUsage(pid_t pid);

/// Resident memory in KiB (VmRSS), or -1 when the process is gone.
long procRssKb(pid_t pid);

/// Nanoseconds on the monotonic clock, the one every timestamp of the benchmark uses.
int64_t monoNs();
