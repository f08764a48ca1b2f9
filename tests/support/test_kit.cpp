// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/test_kit.h"

#include "acquisition/logger.h"
#include "acquisition/storage/spool_format.h"

#include <QDir>
#include <QFile>
#include <QTest>

QByteArray fileText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QByteArray lines(const QList<QByteArray>& records) {
    QByteArray text;
    for (const QByteArray& record : records)
        text += record + "\r\n";
    return text;
}

QByteArray header(const QByteArray& comment) {
    return " Recive Data ,26/12/07,10:00:00," + comment + "\r\n";
}

PortScan portAt(int16_t number, const QString& path) {
    return [number, path] {
        QList<SerialDevice> present(number - 1);
        present.append(nodeDevice(path));
        return present;
    };
}

SerialDevice usbAdapter(const QString& path, const QString& serial, const QString& socket) {
    return {path, QStringLiteral("usb 0403:6001 serial %1 interface 00").arg(serial), socket,
            path + QStringLiteral(": FTDI FT232R USB UART serial ") + serial};
}

QByteArray readChar(CommPort& port) {
    char c = 0;
    return port.readByte(c) ? QByteArray(1, c) : QByteArray();
}

bool recordsWritten(const Logger& logger, int timeoutMs) {
    return QTest::qWaitFor([&logger] { return logger.store().written(); }, timeoutMs);
}

QList<PendingRecord> spooledRecords(const QString& folder) {
    QList<PendingRecord> records;
    const QDir dir(folder);
    for (const QString& name : dir.entryList({"*.spool"}, QDir::Files, QDir::Name)) {
        SpoolReader reader;
        for (const SpoolReader::Frame& frame : reader.read(fileText(dir.filePath(name)), true))
            if (frame.kind == SpoolReader::Frame::Kind::Record)
                records << frame.record;
    }
    return records;
}
