#include "ui/fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace {
QString firstInstalled(const QStringList& wanted, QFontDatabase::WritingSystem system) {
    const QStringList installed = QFontDatabase::families(system);
    for (const QString& family : wanted) {
        if (installed.contains(family, Qt::CaseInsensitive))
            return family;
    }
    return {};
}

QFont sized(const QString& family, QFont::StyleHint hint, qreal points) {
    QFont font;
    if (!family.isEmpty())
        font.setFamily(family);
    font.setStyleHint(hint);
    font.setPointSizeF(points);
    return font;
}
} // namespace

QFont tahomaFont(qreal points, bool bold) {
    // Verdana's relatives first: they share Tahoma's shapes and open spacing.
    const QString family = firstInstalled(
        {QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"), QStringLiteral("Verdana"),
         QStringLiteral("Bitstream Vera Sans"), QStringLiteral("Noto Sans"),
         QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans")},
        QFontDatabase::Any);
    QFont font = sized(family, QFont::SansSerif, points);
    font.setBold(bold);
    return font;
}

QFont minchoFont(qreal points) {
    QString family = firstInstalled(
        {QStringLiteral("MS Mincho"), QStringLiteral("IPAMincho"), QStringLiteral("IPAexMincho"),
         QStringLiteral("Noto Serif CJK JP"), QStringLiteral("TakaoMincho")},
        QFontDatabase::Japanese);
    if (family.isEmpty()) {
        // No Japanese serif: any face that writes Japanese still shows such records.
        const QStringList japanese = QFontDatabase::families(QFontDatabase::Japanese);
        if (!japanese.isEmpty())
            family = japanese.first();
    }
    return sized(family, QFont::Serif, points);
}
