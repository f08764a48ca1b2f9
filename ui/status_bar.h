// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>
#include <array>

class ClockPanel;
class QAction;
class QLabel;

/// The main window's status bar: three text panels and a clock, at fixed widths from the left.
class StatusBar : public QWidget {
    Q_OBJECT
public:
    explicit StatusBar(QWidget* parent = nullptr);

    /// Panels are numbered from 1; panel 4 is the clock.
    void setPanelText(int panel, const QString& text);
    QString panelText(int panel) const;
    /// What the panel tells when the pointer rests on it (panel 2: the device COMn is).
    void setPanelToolTip(int panel, const QString& text);
    /// An entry of the panel's context menu (right click); shown while the action is visible.
    void addPanelAction(int panel, QAction* action);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    std::array<QLabel*, 4> m_panels{};
};

/// Panel 2: "COM", the port number, "/" and the baud rate as stored.
QString portPanelText();
