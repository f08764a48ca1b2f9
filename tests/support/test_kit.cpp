// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/test_kit.h"

#include "acquisition/logger.h"
#include "acquisition/storage/spool_format.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
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

int execTests(QObject* test, int argc, char** argv) {
    QList<QByteArray> args(argv, argv + argc);
    const qsizetype at = args.indexOf("--except");
    if (at < 0 || at + 1 >= args.size())
        return QTest::qExec(test, argc, argv);
    const QList<QByteArray> except = args[at + 1].split(',');
    args.remove(at, 2);
    // The functions QTest would run by itself, in its order.
    static const QList<QByteArray> notTests{"initTestCase", "cleanupTestCase", "init", "cleanup"};
    QList<QByteArray> functions;
    const QMetaObject* meta = test->metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() == QMetaMethod::Slot && method.access() == QMetaMethod::Private &&
            method.parameterCount() == 0 && method.returnType() == QMetaType::Void &&
            !method.name().endsWith("_data") && !notTests.contains(method.name()))
            functions << method.name();
    }
    for (const QByteArray& name : except) {
        if (!functions.removeAll(name)) {
            qCritical("--except: %s is not a test function", name.constData());
            return 2;
        }
    }
    if (functions.isEmpty()) { // no names would run them all
        qCritical("--except leaves no test function");
        return 2;
    }
    args << functions;
    QList<char*> pointers;
    for (QByteArray& arg : args)
        pointers << arg.data();
    return QTest::qExec(test, static_cast<int>(pointers.size()), pointers.data());
}
