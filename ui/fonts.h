// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>

/// Tahoma at the given size, or the installed sans-serif closest to it.
QFont tahomaFont(qreal points, bool bold = false);
/// MS Mincho at the given size, or an installed Japanese serif (else any face that writes
/// Japanese), for records that may be Japanese text.
QFont minchoFont(qreal points);
/// The classic small dialog face the settings window's control sizes were made for.
QFont dialogFont();
