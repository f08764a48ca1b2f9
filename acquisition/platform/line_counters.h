// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

/// The error counters the driver keeps for one line.
struct LineCounters {
    int brk = 0;
    int frame = 0;
    int overrun = 0;
    int bufOverrun = 0;
    int parity = 0;
};
