// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/serial/arrival_ledger.h"

#include <algorithm>

void ArrivalLedger::note(qint64 held, qint64 atMs) {
    if (held < m_held)
        forgetHeld();
    if (held > m_held) {
        m_chunks.enqueue({held - m_held, atMs});
        m_count += held - m_held;
        m_held = held;
    }
}

void ArrivalLedger::taken(qint64 count) {
    m_held = std::max<qint64>(m_held - count, 0);
}

std::optional<qint64> ArrivalLedger::handOut() {
    if (m_chunks.isEmpty())
        return std::nullopt;
    const qint64 at = m_chunks.head().atMs;
    if (--m_chunks.head().bytes == 0)
        m_chunks.dequeue();
    --m_count;
    // A byte handed out came from Qt only if nothing had been taken before it.
    m_held = std::min(m_held, m_count);
    return at;
}

void ArrivalLedger::forgetHeld() {
    // Qt's bytes are the newest: they are the chunks' tail.
    qint64 drop = m_held;
    while (drop > 0 && !m_chunks.isEmpty()) {
        Chunk& last = m_chunks.last();
        const qint64 gone = std::min(last.bytes, drop);
        last.bytes -= gone;
        drop -= gone;
        m_count -= gone;
        if (last.bytes == 0)
            m_chunks.removeLast();
    }
    m_held = 0;
}

void ArrivalLedger::clear() {
    m_chunks.clear();
    m_count = 0;
    m_held = 0;
}
