// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QQueue>
#include <QtGlobal>
#include <optional>

/// On the reader's thread behind ThreadedPort: when each received byte not yet handed out reached
/// the computer. The bytes lie in two places, oldest first: those the serial layer has taken from
/// Qt's buffer, then those Qt still holds. Times are noted a chunk at a time, whenever Qt is seen
/// to hold more than before.
class ArrivalLedger {
public:
    /// Qt holds `held` bytes now: those beyond the ones already noted arrived at `atMs`. Fewer
    /// than noted means Qt let its bytes go unread, so their times go first.
    void note(qint64 held, qint64 atMs);
    /// `count` of the bytes Qt held were taken from it; they keep their times.
    void taken(qint64 count);
    /// The oldest byte is handed out: when it arrived, if that was noted.
    std::optional<qint64> handOut();
    /// The bytes Qt holds went unread (a discard): their times go, the taken ones keep theirs.
    void forgetHeld();
    /// Every byte went unread.
    void clear();

    /// Bytes that have a time, and of them the ones Qt holds.
    qint64 count() const { return m_count; }
    qint64 held() const { return m_held; }

private:
    struct Chunk {
        qint64 bytes;
        qint64 atMs;
    };
    QQueue<Chunk> m_chunks;
    qint64 m_count = 0;
    qint64 m_held = 0;
};
