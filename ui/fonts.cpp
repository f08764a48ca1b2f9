// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace {
// Qt uses the first of `families` that is installed, else a face of the hinted style.
QFont sized(const QStringList& families, QFont::StyleHint hint, qreal points) {
    QFont font;
    font.setFamilies(families);
    font.setStyleHint(hint);
    font.setPointSizeF(points);
    return font;
}
} // namespace

QFont tahomaFont(qreal points, bool bold) {
    // Verdana's relatives first: they share Tahoma's shapes and open spacing.
    QFont font =
        sized({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"), QStringLiteral("Verdana"),
               QStringLiteral("Bitstream Vera Sans"), QStringLiteral("Noto Sans"),
               QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans")},
              QFont::SansSerif, points);
    font.setBold(bold);
    return font;
}

QFont minchoFont(qreal points) {
    QStringList families{QStringLiteral("MS Mincho"), QStringLiteral("IPAMincho"),
                         QStringLiteral("IPAexMincho"), QStringLiteral("Noto Serif CJK JP"),
                         QStringLiteral("TakaoMincho")};
    // No Japanese serif: any face that writes Japanese still shows such records.
    const QStringList japanese = QFontDatabase::families(QFontDatabase::Japanese);
    if (!japanese.isEmpty())
        families << japanese.first();
    return sized(families, QFont::Serif, points);
}

QFont dialogFont() {
    return sized({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                  QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                  QStringLiteral("Nimbus Sans")},
                 QFont::SansSerif, 8.25);
}
