// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/frm_trend.h"

#include "acquisition/core/reading_number.h"
#include "ui/trend.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <array>

namespace {

struct Span {
    const char* name;
    qint64 ms; // 0: since START
};
constexpr qint64 kMinuteMs = 60'000;
constexpr qint64 kHourMs = 60 * kMinuteMs;
constexpr std::array<Span, 4> kSpans{{
    {"Last 10 minutes", 10 * kMinuteMs},
    {"Last hour", kHourMs},
    {"Last 24 hours", 24 * kHourMs},
    {"Since START", 0},
}};
constexpr int kNumbers = 8; // fields of one record an instrument may send
// Even with nothing new the time axis moves on.
constexpr qint64 kSlideMs = 1000;

QString number(double value) {
    return QString::number(value, 'g', 7);
}

QString ordinal(int n) {
    static const std::array<const char*, 3> kEnds{"st", "nd", "rd"};
    const char* end = n >= 1 && n <= 3 ? kEnds.at(static_cast<std::size_t>(n - 1)) : "th";
    return QStringLiteral("%1%2 number").arg(n).arg(QLatin1String(end));
}

} // namespace

Frm_Trend::Frm_Trend(Trend& trend, std::function<qint64()> nowMs, QWidget* parent)
    : QWidget(parent, Qt::Window), m_trend(trend), m_nowMs(std::move(nowMs)) {
    setObjectName(QStringLiteral("Frm_Trend"));
    setWindowTitle(QStringLiteral("Trend - Tessaline Serial Data"));
    setAttribute(Qt::WA_DeleteOnClose);
    createControls();
    resize(720, 420);
    m_redraw.setInterval(kRedrawMs);
    connect(&m_redraw, &QTimer::timeout, this, &Frm_Trend::redrawIfDue);
    connect(cmb_trend_span, &QComboBox::currentIndexChanged, this, &Frm_Trend::redraw);
    connect(cmb_trend_number, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_trend.chooseNumber(index + 1);
        redraw();
    });
}

void Frm_Trend::createControls() {
    cmb_trend_span = new QComboBox(this);
    cmb_trend_span->setObjectName(QStringLiteral("cmb_trend_span"));
    for (const Span& span : kSpans)
        cmb_trend_span->addItem(QLatin1String(span.name));
    cmb_trend_number = new QComboBox(this);
    cmb_trend_number->setObjectName(QStringLiteral("cmb_trend_number"));
    for (int n = 1; n <= kNumbers; ++n)
        cmb_trend_number->addItem(ordinal(n));
    cmb_trend_number->setCurrentIndex(m_trend.number() - 1);
    cmb_trend_number->setToolTip(QStringLiteral(
        "Which number of each record is drawn, for instruments that send several on one line; "
        "the curve starts anew with the next record"));
    lbl_trend_figures = new QLabel(this);
    lbl_trend_figures->setObjectName(QStringLiteral("lbl_trend_figures"));
    lbl_trend_figures->setTextFormat(Qt::PlainText);
    lbl_trend_figures->setTextInteractionFlags(Qt::TextSelectableByMouse);

    plot_trend = new QCustomPlot(this);
    plot_trend->setObjectName(QStringLiteral("plot_trend"));
    plot_trend->addGraph();
    plot_trend->graph(0)->setPen(QPen(QColor(0x00, 0x80, 0x00), 1.5));
    auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
    plot_trend->xAxis->setTicker(ticker);
    plot_trend->xAxis->setLabel(QStringLiteral("Arrival time"));

    auto* top = new QHBoxLayout;
    top->addWidget(cmb_trend_span);
    top->addWidget(cmb_trend_number);
    top->addWidget(lbl_trend_figures, 1);
    auto* all = new QVBoxLayout(this);
    all->addLayout(top);
    all->addWidget(plot_trend, 1);
}

void Frm_Trend::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    followVisibility();
    redraw();
}

void Frm_Trend::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    followVisibility();
}

void Frm_Trend::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        followVisibility();
}

void Frm_Trend::followVisibility() {
    // Nobody sees a minimised or hidden window: it costs nothing while so.
    if (isVisible() && !isMinimized())
        m_redraw.start();
    else
        m_redraw.stop();
}

void Frm_Trend::redrawIfDue() {
    if (m_trend.changes() != m_drawnChanges || m_sinceDraw.elapsed() >= kSlideMs)
        redraw();
}

qint64 Frm_Trend::spanStartMs(qint64 nowMs) const {
    const qint64 spanMs = kSpans.at(static_cast<std::size_t>(cmb_trend_span->currentIndex())).ms;
    if (spanMs > 0)
        return nowMs - spanMs;
    // Before the first START there is no run to span.
    return m_trend.runStartMs() > 0 ? m_trend.runStartMs() : nowMs - kSpans.front().ms;
}

void Frm_Trend::redraw() {
    m_drawnChanges = m_trend.changes();
    m_sinceDraw.start();
    // A clock set back leaves the latest readings ahead of it: they stay in the span.
    const qint64 toMs = std::max(m_nowMs(), m_trend.series().lastMs());
    const qint64 fromMs = std::min(spanStartMs(toMs), toMs - 1);
    const QList<TrendPoint> points =
        m_trend.series().drawn(fromMs, toMs, plot_trend->axisRect()->width());
    QVector<double> keys;
    QVector<double> values;
    keys.reserve(points.size());
    values.reserve(points.size());
    for (const TrendPoint& p : points) {
        keys.append(static_cast<double>(p.atMs) / 1000.0);
        values.append(p.value);
    }
    plot_trend->graph(0)->setData(keys, values, true);
    auto* ticker = static_cast<QCPAxisTickerDateTime*>(plot_trend->xAxis->ticker().data());
    ticker->setDateTimeFormat(toMs - fromMs <= 2 * kHourMs ? QStringLiteral("hh:mm:ss")
                                                           : QStringLiteral("MM/dd hh:mm"));
    plot_trend->xAxis->setRange(static_cast<double>(fromMs) / 1000.0,
                                static_cast<double>(toMs) / 1000.0);
    if (!points.isEmpty()) {
        bool found = false;
        const QCPRange range = plot_trend->graph(0)->getValueRange(found);
        const double margin = range.size() > 0 ? range.size() * 0.05 : 0.5;
        plot_trend->yAxis->setRange(range.lower - margin, range.upper + margin);
    }
    plot_trend->yAxis->setLabel(recordText(m_trend.unit()));
    showFigures(fromMs, toMs);
    plot_trend->replot();
}

void Frm_Trend::showFigures(qint64 fromMs, qint64 toMs) {
    const SpanFigures f = m_trend.series().figures(fromMs, toMs);
    const QString unit =
        m_trend.unit().isEmpty() ? QString() : QLatin1Char(' ') + recordText(m_trend.unit());
    QString line = f.readings == 0 ? QStringLiteral("No readings in this span")
                                   : QStringLiteral("Latest %1%5   Min %2   Max %3   Mean %4")
                                         .arg(number(f.latest), number(f.min), number(f.max),
                                              number(f.mean), unit);
    if (m_trend.withoutNumber() > 0)
        line += QStringLiteral("   (records without a %1: %2)")
                    .arg(cmb_trend_number->currentText())
                    .arg(m_trend.withoutNumber());
    lbl_trend_figures->setText(line);
}
