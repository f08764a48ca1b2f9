// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/trend_series.h"

#include <algorithm>
#include <cmath>
#include <limits>

void TrendSeries::Block::take(const TrendPoint& p, qint64 count, double pointsSum) {
    if (points.empty() || p.value < least.value)
        least = p;
    if (points.empty() || p.value > greatest.value)
        greatest = p;
    points.push_back(p);
    readings += count;
    sum += pointsSum;
}

void TrendSeries::clear() {
    m_blocks.clear();
    m_points = 0;
}

void TrendSeries::add(qint64 atMs, double value) {
    if (m_blocks.empty() || m_blocks.back().thinned ||
        m_blocks.back().points.size() == kBlockPoints) {
        m_blocks.emplace_back();
        m_blocks.back().points.reserve(kBlockPoints);
    }
    if (m_points > 0)
        atMs = std::max(atMs, m_blocks.back().points.empty() ? m_blocks.end()[-2].lastMs()
                                                             : m_blocks.back().lastMs());
    m_blocks.back().take({atMs, value}, 1, value);
    if (++m_points > m_maxPoints)
        thinOldest();
}

qint64 TrendSeries::lastMs() const {
    return m_points > 0 ? m_blocks.back().lastMs() : std::numeric_limits<qint64>::min();
}

qint64 TrendSeries::readings() const {
    qint64 n = 0;
    for (const Block& b : m_blocks)
        n += b.readings;
    return n;
}

void TrendSeries::thinOldest() {
    std::vector<Block> kept;
    qsizetype covered = 0;
    std::size_t i = 0;
    const qsizetype toThin = std::min(kThinPoints, m_points / 2);
    for (; i < m_blocks.size() && covered < toThin; ++i) {
        const Block& old = m_blocks[i];
        covered += static_cast<qsizetype>(old.points.size());
        Block thin;
        thin.thinned = true;
        // Of each four points the least and the greatest, in their own order.
        for (std::size_t g = 0; g < old.points.size(); g += 4) {
            const auto from = old.points.begin() + static_cast<std::ptrdiff_t>(g);
            const auto to = old.points.begin() +
                            static_cast<std::ptrdiff_t>(std::min(g + 4, old.points.size()));
            const auto [lo, hi] =
                std::minmax_element(from, to, [](const TrendPoint& a, const TrendPoint& b) {
                    return a.value < b.value;
                });
            thin.points.push_back(*std::min(lo, hi));
            if (lo != hi)
                thin.points.push_back(*std::max(lo, hi));
        }
        thin.readings = old.readings;
        thin.sum = old.sum;
        thin.least = old.least;
        thin.greatest = old.greatest;
        m_points +=
            static_cast<qsizetype>(thin.points.size()) - static_cast<qsizetype>(old.points.size());
        if (!kept.empty() && kept.back().points.size() + thin.points.size() <= kBlockPoints) {
            Block& into = kept.back();
            into.points.insert(into.points.end(), thin.points.begin(), thin.points.end());
            into.readings += thin.readings;
            into.sum += thin.sum;
            if (thin.least.value < into.least.value)
                into.least = thin.least;
            if (thin.greatest.value > into.greatest.value)
                into.greatest = thin.greatest;
        } else {
            kept.push_back(std::move(thin));
        }
    }
    std::move(m_blocks.begin() + static_cast<std::ptrdiff_t>(i), m_blocks.end(),
              std::back_inserter(kept));
    m_blocks = std::move(kept);
}

std::vector<TrendSeries::Block>::const_iterator TrendSeries::firstBlockFrom(qint64 fromMs) const {
    return std::partition_point(m_blocks.begin(), m_blocks.end(),
                                [fromMs](const Block& b) { return b.lastMs() < fromMs; });
}

SpanFigures TrendSeries::figures(qint64 fromMs, qint64 toMs) const {
    SpanFigures f;
    double readings = 0;
    double sum = 0;
    bool any = false;
    const auto note = [&f, &any](double value) {
        f.min = any ? std::min(f.min, value) : value;
        f.max = any ? std::max(f.max, value) : value;
        f.latest = value;
        any = true;
    };
    for (auto b = firstBlockFrom(fromMs); b != m_blocks.end() && b->firstMs() <= toMs; ++b) {
        if (b->firstMs() >= fromMs && b->lastMs() <= toMs) {
            note(b->least.value);
            note(b->greatest.value);
            f.latest = b->points.back().value;
            readings += static_cast<double>(b->readings);
            sum += b->sum;
            continue;
        }
        const double share =
            static_cast<double>(b->readings) / static_cast<double>(b->points.size());
        for (const TrendPoint& p : b->points) {
            if (p.atMs < fromMs || p.atMs > toMs)
                continue;
            note(p.value);
            readings += share;
            sum += share * p.value;
        }
    }
    f.readings = std::llround(readings);
    f.mean = readings > 0 ? sum / readings : 0;
    return f;
}

QList<TrendPoint> TrendSeries::drawn(qint64 fromMs, qint64 toMs, int columns) const {
    if (columns <= 0 || toMs <= fromMs)
        return {};
    struct Column {
        bool any = false;
        TrendPoint lo, hi;
    };
    std::vector<Column> cols(static_cast<std::size_t>(columns));
    const double width = static_cast<double>(toMs - fromMs) / columns;
    const auto put = [&](const TrendPoint& p) {
        if (p.atMs < fromMs || p.atMs > toMs)
            return;
        const auto c =
            std::min(static_cast<std::size_t>(static_cast<double>(p.atMs - fromMs) / width),
                     cols.size() - 1);
        Column& col = cols[c];
        if (!col.any || p.value < col.lo.value)
            col.lo = p;
        if (!col.any || p.value > col.hi.value)
            col.hi = p;
        col.any = true;
    };
    auto last = m_blocks.cend();
    for (auto b = firstBlockFrom(fromMs); b != m_blocks.end() && b->firstMs() <= toMs; ++b) {
        // A block no wider than a column shows as its extremes; a wider one, or one the span
        // cuts, point by point.
        const bool whole = b->firstMs() >= fromMs && b->lastMs() <= toMs;
        if (whole && static_cast<double>(b->lastMs() - b->firstMs()) <= width) {
            put(b->least);
            put(b->greatest);
        } else {
            for (const TrendPoint& p : b->points)
                put(p);
        }
        last = b;
    }
    QList<TrendPoint> out;
    for (const Column& col : cols) {
        if (!col.any)
            continue;
        const bool loFirst = col.lo.atMs <= col.hi.atMs;
        out.append(loFirst ? col.lo : col.hi);
        if (col.lo.atMs != col.hi.atMs || col.lo.value != col.hi.value)
            out.append(loFirst ? col.hi : col.lo);
    }
    // The curve ends at the latest reading, whether or not it is an extreme of its column.
    if (last != m_blocks.cend()) {
        const auto after =
            std::partition_point(last->points.begin(), last->points.end(),
                                 [toMs](const TrendPoint& p) { return p.atMs <= toMs; });
        if (after != last->points.begin() && after[-1].atMs >= fromMs &&
            (out.isEmpty() || after[-1].atMs > out.back().atMs))
            out.append(after[-1]);
    }
    return out;
}
