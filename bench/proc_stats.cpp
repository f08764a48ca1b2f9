// SPDX-License-Identifier: GPL-3.0-or-later
#include "proc_stats.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>

namespace {

// The value after `key` in a /proc status file, or -1.
long statusField(const std::string& path, const char* key) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return -1;
    long value = -1;
    char line[256];
    const size_t keyLength = std::strlen(key);
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, key, keyLength) == 0) {
            value = std::strtol(line + keyLength, nullptr, 10);
            break;
        }
    }
    std::fclose(file);
    return value;
}

int64_t schedstatNs(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return 0;
    long long ns = 0;
    if (std::fscanf(file, "%lld", &ns) != 1)
        ns = 0;
    std::fclose(file);
    return ns;
}

} // namespace

ProcUsage procUsage(pid_t pid) {
    ProcUsage usage;
    // /proc/<pid>/status counts the switches of the main thread only: add up every thread.
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir)
        return usage;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string task = tasks + "/" + entry->d_name;
        usage.cpuNs += schedstatNs(task + "/schedstat");
        usage.voluntary += statusField(task + "/status", "voluntary_ctxt_switches:");
        usage.involuntary += statusField(task + "/status", "nonvoluntary_ctxt_switches:");
    }
    ::closedir(dir);
    return usage;
}

long procRssKb(pid_t pid) {
    return statusField("/proc/" + std::to_string(pid) + "/status", "VmRSS:");
}

long procPeakRssKb(pid_t pid) {
    return statusField("/proc/" + std::to_string(pid) + "/status", "VmHWM:");
}

int64_t monoNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
