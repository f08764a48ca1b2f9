// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QString>
#include <mutex>
#include <optional>

/// Any thread: the one rule of order where runs meet. Records meant for one data file reach it
/// oldest first, whichever run they come from: a run of an earlier logger whose records are not
/// all in their files holds those files, and a writer of a later run appends to a file only while
/// no earlier run holds it. Runs are known by their spool's name, whose start time orders them;
/// the present run is the newest. A run holds every file until it is known which it has records
/// for, and lets go once they are all written, never before: a run set aside, stopped by END or
/// given up in a hung call still holds its files, so nothing newer lands before its records.
class FileOrder {
public:
    /// The present run: newer than any run that holds a file.
    static inline const QString kPresent{};

    /// `run` has records not yet in their files; which files is not known yet.
    void holdAll(const QString& run);
    /// `run` has records not yet in their files for `paths` alone.
    void hold(const QString& run, const QSet<QByteArray>& paths);
    /// Every record of `run` is in its file.
    void release(const QString& run);
    /// Whether the writer of `run`'s records may append to `path` now: no earlier run holds it.
    bool mayWrite(const QString& run, const QByteArray& path) const;
    /// Whether some run holds a file.
    bool holdsAny() const;

private:
    static bool earlier(const QString& holder, const QString& run) {
        return run == kPresent ? holder != kPresent : holder < run;
    }

    mutable std::mutex m_mutex;
    QMap<QString, std::optional<QSet<QByteArray>>> m_holds; // no value: every file
};
