// SPDX-License-Identifier: GPL-3.0-or-later
#include "cable.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <windows.h>

QString cableControl() {
    return qEnvironmentVariable("TESSALINE_CABLE_CONTROL");
}

bool underWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

bool pullDevice(bool pulled) {
    const QString flag = QDir(cableControl()).filePath(QStringLiteral("pull"));
    if (!pulled)
        return QFile::remove(flag);
    QFile file(flag);
    return file.open(QIODevice::WriteOnly);
}

Instrument::Instrument() {
    m_port.setPortName(QStringLiteral("COM2"));
    m_port.open(QIODevice::ReadWrite);
}

bool Instrument::write(const QByteArray& bytes) {
    return m_port.write(bytes) == bytes.size();
}

QByteArray Instrument::readAll(qsizetype count) {
    // Short of them, what came is returned for the caller's comparison to show.
    [[maybe_unused]] const bool all =
        QTest::qWaitFor([this, count] { return m_port.bytesAvailable() >= count; }, 10'000);
    return m_port.read(count);
}
