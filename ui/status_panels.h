#pragma once

#include "acquisition/varlin_def.h"

#include <QString>

/// The main window's status bar as the settings window sees it: panels 1 to 3 by number.
class StatusPanels {
public:
    virtual ~StatusPanels() = default;
    virtual void setPanelText(int panel, const QString& text) = 0;
};

/// Panel 2: "COM", the port number, "/" and the baud rate as stored.
inline QString portPanelText() {
    return QStringLiteral("COM%1/%2")
        .arg(varlin_def.PortNumber)
        .arg(QString::fromLatin1(varlin_def.BaudRate));
}
