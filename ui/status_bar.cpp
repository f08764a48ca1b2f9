// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/status_bar.h"

#include "acquisition/core/varlin_def.h"
#include "ui/clock_panel.h"
#include "ui/twips.h"

#include <QApplication>
#include <QLabel>

namespace {
// Panel widths in twips, panel 1 first.
constexpr std::array<int, 4> kPanelTwips{4200, 1200, 1200, 1200};

void bevel(QLabel* panel) {
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setTextFormat(Qt::PlainText);
    panel->setIndent(2);
}
} // namespace

StatusBar::StatusBar(QWidget* parent) : QWidget(parent) {
    // The bar keeps the desktop's own colours, whatever the window behind it paints.
    const QPalette desktop = QApplication::palette();
    QPalette own = palette();
    own.setColor(QPalette::Window, desktop.color(QPalette::Window));
    own.setColor(QPalette::WindowText, desktop.color(QPalette::WindowText));
    setPalette(own);
    setAutoFillBackground(true);
    int left = 0;
    for (std::size_t i = 0; i < m_panels.size(); ++i) {
        QLabel* panel = i + 1 == m_panels.size() ? new ClockPanel(this) : new QLabel(this);
        panel->setObjectName(QStringLiteral("panel%1").arg(i + 1));
        bevel(panel);
        const int width = pixels(kPanelTwips.at(i));
        panel->setGeometry(left, 0, width, height());
        left += width;
        m_panels.at(i) = panel;
    }
}

void StatusBar::setPanelText(int panel, const QString& text) {
    // The clock panel is written by nobody but itself.
    if (panel >= 1 && panel <= 3)
        m_panels.at(static_cast<std::size_t>(panel - 1))->setText(text);
}

QString StatusBar::panelText(int panel) const {
    if (panel < 1 || panel > 4)
        return {};
    return m_panels.at(static_cast<std::size_t>(panel - 1))->text();
}

void StatusBar::setPanelToolTip(int panel, const QString& text) {
    if (panel >= 1 && panel <= 3)
        m_panels.at(static_cast<std::size_t>(panel - 1))->setToolTip(text);
}

void StatusBar::addPanelAction(int panel, QAction* action) {
    if (panel < 1 || panel > 3)
        return;
    QLabel* label = m_panels.at(static_cast<std::size_t>(panel - 1));
    label->setContextMenuPolicy(Qt::ActionsContextMenu);
    label->addAction(action);
}

void StatusBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    for (QLabel* panel : m_panels)
        panel->resize(panel->width(), height());
}

QString portPanelText() {
    return QStringLiteral("COM%1/%2")
        .arg(varlin_def.PortNumber)
        .arg(QString::fromLatin1(varlin_def.BaudRate));
}
