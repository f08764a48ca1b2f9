// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QtGlobal>

#include <vector>

struct TrendPoint {
    qint64 atMs = 0; // since the epoch
    double value = 0;
};

/// What a time span holds: the readings it spans, and their latest, least, greatest and mean.
struct SpanFigures {
    qint64 readings = 0;
    double latest = 0;
    double min = 0;
    double max = 0;
    double mean = 0;
};

/// Readings against their arrival time, for drawing. Memory stays bounded: past `maxPoints`
/// the oldest points are thinned, a stretch at a time, to the least and greatest of each few,
/// so a spike stays visible however old it is; the counts and sums behind the figures stay
/// exact. The older a stretch, the more often it has been thinned.
class TrendSeries {
public:
    static constexpr qsizetype kMaxPoints = 2'000'000;
    explicit TrendSeries(qsizetype maxPoints = kMaxPoints) : m_maxPoints(maxPoints) {}

    void clear();
    /// A reading that arrived before the last one (the clock was set back) is drawn at the
    /// last one's time, so the history stays in order.
    void add(qint64 atMs, double value);
    qsizetype points() const { return m_points; }
    qint64 readings() const; // every reading added since clear(), thinned or not
    qint64 lastMs() const;   // of the latest reading; the least qint64 while there is none

    /// The figures of the readings that arrived in [fromMs, toMs]. The mean is exact while no
    /// thinned stretch is cut by the span's start; within one that is, its points stand for
    /// equal shares of the readings they replaced.
    SpanFigures figures(qint64 fromMs, qint64 toMs) const;
    /// What `columns` pixel columns across [fromMs, toMs] can show: for each, its least and its
    /// greatest point, in time order.
    QList<TrendPoint> drawn(qint64 fromMs, qint64 toMs, int columns) const;

private:
    struct Block {
        std::vector<TrendPoint> points;
        bool thinned = false;
        qint64 readings = 0;
        double sum = 0;
        TrendPoint least;
        TrendPoint greatest;
        qint64 firstMs() const { return points.front().atMs; }
        qint64 lastMs() const { return points.back().atMs; }
        void take(const TrendPoint& p, qint64 count, double sum);
    };
    static constexpr std::size_t kBlockPoints = 256;
    // Points thinned at a time: a short pause of the window's thread, once in a while.
    static constexpr qsizetype kThinPoints = 16'384;

    std::vector<Block>::const_iterator firstBlockFrom(qint64 fromMs) const;
    void thinOldest();

    qsizetype m_maxPoints;
    qsizetype m_points = 0;
    std::vector<Block> m_blocks;
};
