// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/twips.h"

#include <QWidget>

#include <algorithm>

void place(QWidget* control, std::span<const Placement> layout) {
    const QByteArray name = control->objectName().toLatin1();
    const auto found = std::find_if(layout.begin(), layout.end(), [&name](const Placement& p) {
        return p.name == std::string_view(name.constData(), static_cast<size_t>(name.size()));
    });
    if (found == layout.end())
        qFatal("No place in the layout for control \"%s\"", name.constData());
    control->setGeometry(pixelRect(found->left, found->top, found->width, found->height));
}
