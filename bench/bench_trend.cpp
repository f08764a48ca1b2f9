// SPDX-License-Identifier: GPL-3.0-or-later
// The trend's history at its bound: how long the longest single reading takes to keep (it may
// thin the oldest stretch), what drawing a full span and its figures cost, and the memory held.
//
//   bench_trend [readings]   (default 6,000,000: three times what the history keeps)

#include "proc_stats.h"
#include "ui/trend_series.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

double msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

int main(int argc, char* argv[]) {
    const long long readings = argc > 1 ? std::atoll(argv[1]) : 6'000'000;
    const long rssBeforeKb = procRssKb(::getpid());
    TrendSeries series;
    constexpr qint64 t0 = 1'700'000'000'000;
    double worstMs = 0;
    const auto all = std::chrono::steady_clock::now();
    for (long long i = 0; i < readings; ++i) {
        const auto t = std::chrono::steady_clock::now();
        // A reading every 10 ms, wandering, with a spike now and then.
        series.add(t0 + i * 10, i % 100'003 == 0 ? 1e6 : std::sin(static_cast<double>(i) / 5e3));
        worstMs = std::max(worstMs, msSince(t));
    }
    const double addMs = msSince(all);
    const qint64 end = t0 + (readings - 1) * 10;
    const auto drawing = std::chrono::steady_clock::now();
    const QList<TrendPoint> drawn = series.drawn(t0, end, 700);
    const SpanFigures f = series.figures(t0, end);
    const double drawMs = msSince(drawing);
    std::printf("%lld readings kept as %lld points; %.0f ns a reading on average, the longest "
                "%.2f ms\n",
                readings, static_cast<long long>(series.points()),
                addMs * 1e6 / static_cast<double>(readings), worstMs);
    std::printf("whole span over 700 columns: %lld points drawn, figures of %lld readings (max "
                "%.0f), %.2f ms\n",
                static_cast<long long>(drawn.size()), static_cast<long long>(f.readings), f.max,
                drawMs);
    std::printf("resident memory: %.1f MB more than before the first reading\n",
                static_cast<double>(procRssKb(::getpid()) - rssBeforeKb) / 1024);
    return 0;
}
