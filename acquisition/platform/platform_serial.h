// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the serial layer asks of the system beyond its serial device class. Each system provides
// these in its own files: platform_linux_serial.cpp and platform_linux_ports.cpp on Linux,
// platform_windows_serial.cpp and platform_windows_ports.cpp on Windows.

#include "acquisition/platform/line_counters.h"
#include "acquisition/platform/serial_device.h"

#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <utility>

// The device class the serial layer drives: the program's own on Windows, where Qt SerialPort
// is not at hand, and on Linux, where it reads the line on a thread of its own; Qt's elsewhere.
#ifdef Q_OS_WIN
#include "acquisition/platform/win_serial_port.h"
using SystemSerialPort = WinSerialPort;
#elif defined(Q_OS_LINUX)
#include "acquisition/platform/linux_serial_port.h"
using SystemSerialPort = LinuxSerialPort;
#else
#include <QSerialPort>
using SystemSerialPort = QSerialPort;
#endif

// The modem lines, one bit each: the computer drives DTR and RTS, the instrument the others.
namespace ModemLine {
inline constexpr int kDtr = 0x01;
inline constexpr int kRts = 0x02;
inline constexpr int kCts = 0x04;
inline constexpr int kDsr = 0x08;
inline constexpr int kCd = 0x10;
inline constexpr int kRing = 0x20;
} // namespace ModemLine

/// The open port as the system knows it: what the device class's handle() returns.
using PortHandle = decltype(std::declval<const SystemSerialPort&>().handle());

/// How a question to the port's driver went. A driver without line counters or modem lines
/// (a pseudo-terminal, some USB adapters) is no fault of the line.
enum class DriverAnswer { Done, NotSupported, Failed };

/// The line's error counters (break, framing, overrun, buffer overflow, parity) as the driver
/// keeps them since the port opened.
DriverAnswer readLineCounters(PortHandle port, LineCounters& counters);
/// The state of the modem lines, as ModemLine bits.
DriverAnswer readModemLines(PortHandle port, int& lines);
/// Asserts or clears one modem line the computer drives (ModemLine::kDtr or ModemLine::kRts).
DriverAnswer setModemLine(PortHandle port, int line, bool on);
/// Whether this account may read and write the device: a refused open then means that another
/// program holds it.
bool mayReadAndWrite(const QString& device);

/// The serial devices of this computer in the system's own numbering: port n ("COMn") is the
/// n-th, each with what tells it from any other device.
QList<SerialDevice> systemPortScan();
