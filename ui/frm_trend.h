// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>

class QComboBox;
class QCustomPlot;
class QLabel;
class Trend;

/// The trend of the running acquisition: the chosen number of each record against its arrival
/// time over a span, with the span's latest, least, greatest and mean reading. It only reads
/// the trend the main window keeps, and draws at most ten times a second, and only while seen.
class Frm_Trend : public QWidget {
    Q_OBJECT
public:
    /// `nowMs` is the logger's clock, the one the records' arrival times come from.
    Frm_Trend(Trend& trend, std::function<qint64()> nowMs, QWidget* parent = nullptr);

    static constexpr int kRedrawMs = 100;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void createControls();
    void followVisibility();
    void redrawIfDue();
    void redraw();
    void showFigures(qint64 fromMs, qint64 toMs);
    qint64 spanStartMs(qint64 nowMs) const;

    Trend& m_trend;
    std::function<qint64()> m_nowMs;
    QTimer m_redraw;
    QElapsedTimer m_sinceDraw;
    quint64 m_drawnChanges = 0;

    QComboBox* cmb_trend_span = nullptr;
    QComboBox* cmb_trend_number = nullptr;
    QLabel* lbl_trend_figures = nullptr;
    QCustomPlot* plot_trend = nullptr;
};
