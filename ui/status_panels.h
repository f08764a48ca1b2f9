#pragma once

#include <QString>

/// The main window's status bar as the settings window sees it: panels 1 to 3 by number.
class StatusPanels {
public:
    virtual ~StatusPanels() = default;
    virtual void setPanelText(int panel, const QString& text) = 0;
};
