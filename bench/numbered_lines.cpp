// SPDX-License-Identifier: GPL-3.0-or-later
#include "numbered_lines.h"

#include "proc_stats.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

QByteArray instrumentLine(int seq) {
    QByteArray line = "L" + QByteArray::number(seq).rightJustified(8, '0') + ",";
    return line.leftJustified(kLineBytes - 2, '.') + "\r\n";
}

int seqOf(const QByteArray& line) {
    const qsizetype at = line.indexOf('L');
    if (at < 0 || line.size() < at + 10 || line.at(at + 9) != ',')
        return -1;
    bool ok = false;
    const int seq = line.mid(at + 1, 8).toInt(&ok);
    return ok ? seq : -1;
}

std::pair<int64_t, QByteArray> splitStamp(const QByteArray& record) {
    static constexpr char kPattern[] = "dddd/dd/dd,dd:dd:dd.ddd,";
    constexpr qsizetype kBytes = sizeof kPattern - 1;
    if (record.size() <= kBytes)
        return {-1, record};
    int64_t digits = 0;
    for (qsizetype i = 0; i < kBytes; ++i) {
        const char c = record.at(i);
        if (kPattern[i] != 'd') {
            if (c != kPattern[i])
                return {-1, record};
        } else if (c < '0' || c > '9') {
            return {-1, record};
        } else {
            digits = digits * 10 + (c - '0');
        }
    }
    return {digits, record.sliced(kBytes)};
}

int64_t stampDigitsMs(int64_t digits) {
    if (digits < 0)
        return -1;
    const auto part = [&digits](int64_t size) {
        const auto value = static_cast<int>(digits % size);
        digits /= size;
        return value;
    };
    const int ms = part(1000);
    const int second = part(100);
    const int minute = part(100);
    const int hour = part(100);
    const int day = part(100);
    const int month = part(100);
    const int year = static_cast<int>(digits);
    const QDateTime at(QDate(year, month, day), QTime(hour, minute, second, ms));
    return at.isValid() ? at.toMSecsSinceEpoch() : -1;
}

FileWatcher::FileWatcher(const std::string& folder, int lines)
    : m_folder(folder), m_seenNs(static_cast<size_t>(lines)),
      m_stampDigits(static_cast<size_t>(lines)), m_reordered(static_cast<size_t>(lines)) {
    for (auto& s : m_seenNs)
        s = -1;
    for (auto& s : m_stampDigits)
        s = -1;
    m_fd = ::inotify_init1(IN_CLOEXEC);
    ::inotify_add_watch(m_fd, folder.c_str(), IN_MODIFY);
    m_thread = std::thread([this] { run(); });
}

FileWatcher::~FileWatcher() {
    m_stop = true;
    m_thread.join();
    ::close(m_fd);
}

double FileWatcher::cpuSeconds() {
    clockid_t id{};
    timespec t{};
    if (pthread_getcpuclockid(m_thread.native_handle(), &id) != 0 || clock_gettime(id, &t) != 0)
        return 0;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void FileWatcher::run() {
    alignas(inotify_event) char buffer[4096];
    while (!m_stop) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0)
                readNew(event->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void FileWatcher::readNew(const std::string& name) {
    // A spreadsheet copy beside the data file holds the same lines in rows of its own.
    if (!QByteArray::fromStdString(name).endsWith(".txt"))
        return;
    QFile file(QString::fromStdString(m_folder + "/" + name));
    if (!file.open(QIODevice::ReadOnly))
        return;
    qint64& offset = m_offsets[name];
    file.seek(offset);
    const QByteArray fresh = file.readAll();
    const int64_t now = monoNs();
    qsizetype start = 0;
    for (qsizetype end; (end = fresh.indexOf("\r\n", start)) >= 0; start = end + 2)
        note(fresh.mid(start, end - start + 2), now);
    offset += start; // a line not yet whole is read again next time
}

void FileWatcher::note(const QByteArray& line, int64_t now) {
    const int seq = seqOf(line);
    if (seq < 0 || seq >= static_cast<int>(m_seenNs.size()))
        return;
    const auto [stamp, text] = splitStamp(line);
    m_seenNs[static_cast<size_t>(seq)] = now;
    m_stampDigits[static_cast<size_t>(seq)] = stamp;
    m_reordered[static_cast<size_t>(seq)] = seq <= m_lastSeq;
    m_outOfOrder += seq != m_lastSeq + 1;
    m_damaged += text != instrumentLine(seq);
    m_recordedBytes += line.size();
    m_lastSeq = seq;
}

std::vector<bool> linesIn(const std::string& path, int lines) {
    std::vector<bool> seen(static_cast<size_t>(lines));
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return seen;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const int seq = seqOf(line);
        if (seq >= 0 && seq < lines)
            seen[static_cast<size_t>(seq)] = true;
    }
    return seen;
}

int lastSeqIn(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    file.seek(std::max<qint64>(0, file.size() - 4096));
    int last = -1;
    for (const QByteArray& line : file.readAll().split('\n'))
        last = std::max(last, seqOf(line));
    return last;
}
