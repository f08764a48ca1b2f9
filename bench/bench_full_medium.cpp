// SPDX-License-Identifier: GPL-3.0-or-later
// A data medium that is full for as long as the run lasts: records arrive at a steady rate, every
// append to a data file fails with ENOSPC, and the record store keeps them in memory and in the
// spool. Prints, once a minute and at the end, how large the spool's marks and segments are, how
// often the data file was tried, and how much resident memory grew.
//
//   bench_full_medium [seconds] [records per second]   (default 600 and 100)

#include "acquisition/core/clock.h"
#include "acquisition/core/loop_view.h"
#include "acquisition/core/message_sink.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/file_calls.h"
#include "acquisition/storage/record_store.h"
#include "proc_stats.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {

class QuietView final : public LoopView {
public:
    void setStateText(const QString&) override {}
    void showRecord(const QByteArray&) override {}
    void setTitleText(const QString&) override {}
    void endProgram() override {}
};

class CountingSink final : public MessageSink {
public:
    void showMessage(const QString&) override { ++boxes; }
    void beep() override {}
    int boxes = 0;
};

// The system's calls, but the data files' medium has no room: their appends fail as a full
// disk's do. The spool's files are on another medium and go on.
class FullMedium final : public FileCalls {
public:
    int openForAppend(const QByteArray& path, int& error) override {
        const int fd = FileCalls::openForAppend(path, error);
        if (fd >= 0 && path.endsWith(".txt")) {
            const std::lock_guard lock(m_mutex);
            m_dataFiles.insert(fd);
        }
        return fd;
    }
    int closeFile(int fd) override {
        {
            const std::lock_guard lock(m_mutex);
            m_dataFiles.remove(fd);
        }
        return FileCalls::closeFile(fd);
    }
    int appendWhole(int fd, const QByteArray& bytes) override {
        {
            const std::lock_guard lock(m_mutex);
            if (m_dataFiles.contains(fd)) {
                ++tries;
                return ENOSPC;
            }
        }
        return FileCalls::appendWhole(fd, bytes);
    }
    std::atomic<long> tries{0};

private:
    std::mutex m_mutex;
    QSet<int> m_dataFiles;
};

qint64 sizeOf(const QString& folder, const QString& pattern) {
    qint64 bytes = 0;
    for (const QFileInfo& info : QDir(folder).entryInfoList({pattern}, QDir::Files))
        bytes += info.size();
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 600;
    const int perSecond = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    QTemporaryDir data;
    QTemporaryDir state;
    loadStartValues(QFile::encodeName(data.path()));
    // The file exists and is headed, so every try gets as far as appending its records.
    QFile file(data.filePath(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) +
                             QStringLiteral(".txt")));
    if (!file.open(QIODevice::WriteOnly) || file.write(" Recive Data ,bench,\r\n") <= 0)
        return 1;
    file.close();

    SystemClock clock;
    CountingSink sink;
    QuietView view;
    FullMedium calls;
    const long rssBefore = procRssKb(getpid());
    long records = 0;
    qint64 marksPeak = 0;
    {
        RecordStore store(clock, sink, view, calls, state.path());
        QElapsedTimer running;
        running.start();
        QTimer feed;
        feed.setTimerType(Qt::PreciseTimer);
        feed.setInterval(1000 / perSecond);
        QObject::connect(&feed, &QTimer::timeout, &app, [&] {
            const qint64 now = clock.nowMs();
            store.lineEnd("ST,+0012.345 g," + QByteArray::number(records++), true, now, now);
            marksPeak = std::max(marksPeak, sizeOf(state.path(), QStringLiteral("*.marks")));
        });
        const auto report = [&](const char* when) {
            std::printf("%-6s %6lld s  records %8ld  data-file tries %6ld  marks %8lld B (peak "
                        "%lld B)  segments %10lld B  RSS +%ld KiB\n",
                        when, running.elapsed() / 1000, records, calls.tries.load(),
                        sizeOf(state.path(), QStringLiteral("*.marks")), marksPeak,
                        sizeOf(state.path(), QStringLiteral("*.spool")),
                        procRssKb(getpid()) - rssBefore);
            std::fflush(stdout);
        };
        QTimer minute;
        minute.setInterval(60'000);
        QObject::connect(&minute, &QTimer::timeout, &app, [&] { report("minute"); });
        QTimer::singleShot(seconds * 1000, &app, [&] {
            report("end");
            app.quit();
        });
        feed.start();
        minute.start();
        app.exec();
        feed.stop();
        store.finish(false);
    }
    std::printf("boxes shown: %d (one per burst)\n", sink.boxes);
    return 0;
}
