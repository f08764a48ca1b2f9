// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/file_order.h"

void FileOrder::holdAll(const QString& run) {
    const std::lock_guard lock(m_mutex);
    m_holds.insert(run, std::nullopt);
}

void FileOrder::hold(const QString& run, const QSet<QByteArray>& paths) {
    const std::lock_guard lock(m_mutex);
    if (paths.isEmpty())
        m_holds.remove(run);
    else
        m_holds.insert(run, paths);
}

void FileOrder::release(const QString& run) {
    const std::lock_guard lock(m_mutex);
    m_holds.remove(run);
}

bool FileOrder::mayWrite(const QString& run, const QByteArray& path) const {
    const std::lock_guard lock(m_mutex);
    for (auto it = m_holds.cbegin(); it != m_holds.cend(); ++it) {
        // Ordered by name: past the first holder that is not earlier, none is.
        if (!earlier(it.key(), run))
            break;
        if (!it.value() || it.value()->contains(path))
            return false;
    }
    return true;
}

bool FileOrder::holdsAny() const {
    const std::lock_guard lock(m_mutex);
    return !m_holds.isEmpty();
}
