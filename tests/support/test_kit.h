// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the tests share besides the fakes: reading what the logger wrote, the lines it should
// have written, a port scan for a pty. No widgets: the acquisition tests
// link it too.

#include "acquisition/serial/serial_port.h"
#include "acquisition/storage/pending_record.h"
#include "support/fakes.h"

#include <QByteArray>
#include <QList>
#include <QString>

/// What the file at `path` holds, or "<missing>".
QByteArray fileText(const QString& path);

/// Records as the writer puts them in a file: each one followed by CR LF.
QByteArray lines(const QList<QByteArray>& records);

/// The header line of a data file begun at FakeClock's start time.
QByteArray header(const QByteArray& comment = {});

/// A scan that finds one port: `number` is the device at `path`, the ports before it have none.
PortScan portAt(int16_t number, const QString& path);

/// A USB adapter with serial number `serial` in USB socket `socket`, now at `path` (a pty
/// standing in for its node).
SerialDevice usbAdapter(const QString& path, const QString& serial,
                        const QString& socket = QStringLiteral("1-1:1.0"));

/// The byte readByte() hands out, as a one-character text; empty when none was read.
QByteArray readChar(CommPort& port);

/// The records in the spool files of `folder`, file by file in name order.
QList<PendingRecord> spooledRecords(const QString& folder);

class Logger;
/// True once every record the logger has taken is in its data file.
bool recordsWritten(const Logger& logger, int timeoutMs = 5000);

class QObject;
/// QTest::qExec, and one more option: `--except f,g` runs every test function but f and g, so
/// that CTest can run a long program's slow functions beside the rest. A name that is not a
/// test function of `test` is refused (exit 2), rather than running everything twice.
int execTests(QObject* test, int argc, char** argv);
