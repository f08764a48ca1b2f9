#pragma once

#include <QFont>

/// Tahoma at the given size, or the installed sans-serif closest to it.
QFont tahomaFont(qreal points, bool bold = false);
/// MS Mincho at the given size, or an installed serif (else any face) that writes Japanese.
QFont minchoFont(qreal points);
