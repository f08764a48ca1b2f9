// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The Windows tests' side of the null-modem cable (null_modem.cpp): the instrument on COM2,
// and the logger's end pulled out and put back.

#include "acquisition/platform/win_serial_port.h"

#include <QByteArray>
#include <QString>

/// The cable's control folder as Windows spells it; empty when no cable was laid.
QString cableControl();

/// Whether the test runs under Wine, which lacks some of Windows' rules.
bool underWine();

/// Pulls the logger's end of the cable out (true) or puts it back (false).
bool pullDevice(bool pulled);

/// The instrument on COM2 at 9600 8N1.
class Instrument {
public:
    Instrument();
    bool isOpen() const { return m_port.isOpen(); }
    /// Hands `bytes` to the line without waiting for it.
    bool write(const QByteArray& bytes);
    /// The next `count` bytes the instrument received, waiting up to ten seconds for them.
    QByteArray readAll(qsizetype count);

private:
    WinSerialPort m_port;
};
