// SPDX-License-Identifier: GPL-3.0-or-later
// What the spreadsheet copy adds per record on the window's thread, alone: the record's local
// time, its row (csvRow) and its row's target (csvTargetOf), beside the data file's own target
// (fileTargetAt), in nanoseconds per record and in points of a core at 92,160 B/s of 60-byte
// lines. The storage thread's share (the rows' queue, writes and flushes) is not here:
// bench_logger measures the whole.
//
//   bench_csv_row [records]   (default 1,000,000)

#include "numbered_lines.h"

#include "acquisition/core/clock.h"
#include "acquisition/storage/data_file.h"
#include "acquisition/storage/spreadsheet_copy.h"

#include <QDateTime>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

constexpr double kRecordsPerSecond = 92160.0 / kLineBytes;

// Nanoseconds per call of `work`, which returns bytes made so the work is not left out.
double nsPerCall(int calls, const std::function<qsizetype(int)>& work) {
    qsizetype bytes = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i)
        bytes += work(i);
    const auto t1 = std::chrono::steady_clock::now();
    if (bytes == 0)
        std::puts("(nothing made)");
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()) /
           calls;
}

void row(const char* what, double ns) {
    std::printf("| %s | %.0f | %.3f |\n", what, ns, ns * kRecordsPerSecond / 1e7);
}

} // namespace

int main(int argc, char* argv[]) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    // A record of the benchmark (its line without CR LF) and a balance's net and tare.
    const QByteArray lines[] = {instrumentLine(1234).chopped(2),
                                QByteArrayLiteral("N     +   12.3456 g  T  +   1.0000 g")};
    const char* names[] = {"bench line", "balance line"};
    LocalTimeCache localTime;
    const FileTarget data = fileTargetAt(localTime, start);
    const CsvLayout layout{2, false};
    std::printf("%d calls each, 2 values a row; points of a core at %.0f records/s\n\n| work | ns "
                "per record | points of a core |\n|---|---|---|\n",
                calls, kRecordsPerSecond);
    row("fileTargetAt (the data file's, for comparison)", nsPerCall(calls, [&](int i) {
            return fileTargetAt(localTime, start + i / 2).path.size();
        }));
    row("LocalTimeCache::at",
        nsPerCall(calls, [&](int i) { return qsizetype{localTime.at(start + i / 2).msec + 1}; }));
    row("csvTargetOf",
        nsPerCall(calls, [&](int) { return csvTargetOf(data, layout).path.size(); }));
    for (int l = 0; l < 2; ++l) {
        const LocalTime at = localTime.at(start);
        const std::string what = std::string("csvRow, ") + names[l];
        row(what.c_str(),
            nsPerCall(calls, [&](int) { return csvRow(layout, at, lines[l]).size(); }));
    }
    return 0;
}
