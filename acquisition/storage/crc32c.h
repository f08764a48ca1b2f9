// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <QtGlobal>

/// CRC-32C (Castagnoli), as iSCSI and ext4 use it: the spool's frames carry it, and a data
/// file is known by that of its first line.
quint32 crc32c(QByteArrayView data, quint32 crc = 0);
