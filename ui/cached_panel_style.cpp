// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/cached_panel_style.h"

#include <QPainter>

void CachedPanelStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                     QPainter* painter, const QWidget* widget) const {
    const auto* frame = qstyleoption_cast<const QStyleOptionFrame*>(option);
    if (element != PE_PanelLineEdit || frame == nullptr || option->rect.isEmpty()) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    const qreal ratio = painter->device()->devicePixelRatio();
    const Key key{
        option->rect.size(), option->state,       option->direction, option->palette.cacheKey(),
        frame->lineWidth,    frame->midLineWidth, frame->features,   ratio};
    if (!(key == m_key) || m_panel.isNull()) {
        QPixmap panel((QSizeF(option->rect.size()) * ratio).toSize());
        panel.setDevicePixelRatio(ratio);
        panel.fill(Qt::transparent);
        QStyleOptionFrame atOrigin(*frame);
        atOrigin.rect.moveTo(0, 0);
        QPainter onPanel(&panel);
        QProxyStyle::drawPrimitive(element, &atOrigin, &onPanel, widget);
        onPanel.end();
        m_panel = panel;
        m_key = key;
    }
    painter->drawPixmap(option->rect.topLeft(), m_panel);
}
