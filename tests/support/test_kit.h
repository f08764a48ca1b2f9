#pragma once

// What the tests share besides the fakes: reading what the logger wrote, the lines it should
// have written, a port resolver for a pty, fresh settings. No widgets: the acquisition tests
// link it too.

#include "acquisition/serial_port.h"
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

/// A resolver that knows one port: `number` is the device at `path`.
PortResolver portAt(int16_t number, const QString& path);

/// The byte readByte() hands out, as a one-character text; empty when none was read.
QByteArray readChar(CommPort& port);
