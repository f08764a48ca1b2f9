// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPixmap>
#include <QProxyStyle>
#include <QStyleOptionFrame>

/// The application's own style, except that a line edit's panel is drawn once and then copied:
/// txt_meas repaints up to 50 times a second, and stroking its rounded, anti-aliased frame cost
/// more than the text. Styles cache their buttons the same way.
class CachedPanelStyle final : public QProxyStyle {
public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override;

private:
    struct Key {
        QSize size;
        State state;
        Qt::LayoutDirection direction = Qt::LeftToRight;
        qint64 palette = 0;
        int lineWidth = 0;
        int midLineWidth = 0;
        QStyleOptionFrame::FrameFeatures features;
        qreal ratio = 1;
        bool operator==(const Key&) const = default;
    };
    mutable Key m_key;
    mutable QPixmap m_panel;
};
