// SPDX-License-Identifier: GPL-3.0-or-later
// The spool's marks while the data medium is full: records arrive at 100 a second and go to the
// spool, and once a second the storage thread tries the head batch (up to 256 spooled records)
// again, logging their places before the write that fails. Prints the marks file's size, the
// segments' and the resident memory's growth every minute and at the end.
//
//   bench_marks [--seconds N] [--fast] [--moving]
//     --seconds N  how long the medium stays full (default 600)
//     --fast       the same calls without waiting out each second
//     --moving     each retry finds the file grown (another program's lines): new places

#include "acquisition/storage/spool.h"
#include "proc_stats.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kRecordsPerSecond = 100;
constexpr int kHeadBatch = 256;
constexpr qint64 kLineBytes = 60;

qint64 bytesOf(const QString& folder, const QString& pattern) {
    qint64 total = 0;
    for (const QFileInfo& file : QDir(folder).entryInfoList({pattern}, QDir::Files))
        total += file.size();
    return total;
}

} // namespace

int main(int argc, char* argv[]) {
    long seconds = 600;
    bool fast = false;
    bool moving = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(1L, std::atol(argv[++i]));
        } else if (std::strcmp(argv[i], "--fast") == 0) {
            fast = true;
        } else if (std::strcmp(argv[i], "--moving") == 0) {
            moving = true;
        } else {
            std::fprintf(stderr, "usage: bench_marks [--seconds N] [--fast] [--moving]\n");
            return 2;
        }
    }
    QTemporaryDir state;
    const QByteArray folder = "/media/full";
    const QByteArray path = folder + "/20261207.txt";
    const QByteArray header = " Recive Data ,26/12/07,10:00:00,\r\n";
    std::printf("%ld s of a full data medium%s%s; spool in %s\n", seconds,
                fast ? ", without waiting" : "", moving ? ", places moving" : "",
                qPrintable(state.path()));
    std::printf("%8s %9s %12s %12s %14s %16s\n", "second", "records", "marks B", "segments B",
                "RSS growth KB", "longest log ms");

    const long rssBeforeKb = procRssKb(::getpid());
    Spool spool(state.path());
    const std::shared_ptr<PlacementLog> log = spool.placementLog();
    const QString marksPath = QDir(state.path()).filePath(spool.name() + QStringLiteral(".marks"));
    quint64 seq = 0;
    double longestMs = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long second = 1; second <= seconds; ++second) {
        QList<PendingRecord> arrived;
        for (int i = 0; i < kRecordsPerSecond; ++i) {
            PendingRecord r;
            r.seq = ++seq;
            r.target = {path, folder, header};
            r.record = QByteArray::number(r.seq).rightJustified(kLineBytes - 2, '.');
            r.spooled = true;
            arrived.append(std::move(r));
        }
        spool.appendRecords(arrived);
        // The retry: the same head batch, at the places its first try gave it, or further on
        // when the file grew meanwhile.
        QList<SeqPlace> head;
        const qint64 shift = moving ? second * kLineBytes : 0;
        for (quint64 s = 1; s <= std::min<quint64>(seq, kHeadBatch); ++s)
            head.append({s, shift + static_cast<qint64>(s - 1) * kLineBytes});
        const auto before = std::chrono::steady_clock::now();
        log->logPlaces(path, 0x5eed, head);
        longestMs = std::max(longestMs, std::chrono::duration<double, std::milli>(
                                            std::chrono::steady_clock::now() - before)
                                            .count());
        if (second % 60 == 0 || second == seconds)
            std::printf("%8ld %9llu %12lld %12lld %14ld %16.2f\n", second,
                        static_cast<unsigned long long>(seq),
                        static_cast<long long>(QFileInfo(marksPath).size()),
                        static_cast<long long>(bytesOf(state.path(), QStringLiteral("*.spool"))),
                        procRssKb(::getpid()) - rssBeforeKb, longestMs);
        if (!fast)
            std::this_thread::sleep_until(start + std::chrono::seconds(second));
    }
    std::printf("spool failing at the end: %s\n", spool.failing() ? "yes" : "no");
    return 0;
}
