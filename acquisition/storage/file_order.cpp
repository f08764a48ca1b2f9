// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/file_order.h"

#include "acquisition/platform/platform_files.h"

#include <QDir>

namespace {
// One file, however its folder was spelled when its records were taken ("share/." or "share").
QByteArray fileKey(const QByteArray& path) {
    return encodePath(QDir::cleanPath(decodePath(path)));
}
} // namespace

void FileOrder::holdAll(const QString& run) {
    const std::lock_guard lock(m_mutex);
    m_holds.insert(run, std::nullopt);
}

void FileOrder::hold(const QString& run, const QSet<QByteArray>& paths) {
    QSet<QByteArray> files;
    for (const QByteArray& path : paths)
        files.insert(fileKey(path));
    const std::lock_guard lock(m_mutex);
    if (files.isEmpty())
        m_holds.remove(run);
    else
        m_holds.insert(run, files);
}

void FileOrder::release(const QString& run) {
    const std::lock_guard lock(m_mutex);
    m_holds.remove(run);
}

bool FileOrder::mayWrite(const QString& run, const QByteArray& path) const {
    const std::lock_guard lock(m_mutex);
    if (m_holds.isEmpty())
        return true;
    const QByteArray file = fileKey(path);
    for (auto it = m_holds.cbegin(); it != m_holds.cend(); ++it) {
        // Ordered by name: past the first holder that is not earlier, none is.
        if (!earlier(it.key(), run))
            break;
        if (!it.value() || it.value()->contains(file))
            return false;
    }
    return true;
}

bool FileOrder::holdsAny() const {
    const std::lock_guard lock(m_mutex);
    return !m_holds.isEmpty();
}
