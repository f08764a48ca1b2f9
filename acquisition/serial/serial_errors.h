// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

// Codes the serial layer reports. The program shows them and interprets none; HACKING.md
// lists them for the operator's support. Numbers follow the old serial control's where one
// existed, so that long-time users recognise them.
namespace SerialError {
inline constexpr int32_t kNone = 0;
inline constexpr int32_t kInvalidValue = 380;      // a property value out of range
inline constexpr int32_t kInvalidPort = 8002;      // no serial device for this port number
inline constexpr int32_t kPortAlreadyOpen = 8005;  // port changed or opened while open
inline constexpr int32_t kDeviceBusy = 8010;       // the device is in use by another program
inline constexpr int32_t kPermissionDenied = 8011; // no right to open the device
inline constexpr int32_t kPortNotOpen = 8012;      // the operation needs an open port
inline constexpr int32_t kSettingsRefused = 8015;  // the driver refused the line settings
inline constexpr int32_t kModemLineFailed = 8016;  // DTR or RTS could not be set
inline constexpr int32_t kOpenFailed = 8020;       // any other failure to open the device
inline constexpr int32_t kOperationFailed = 8021;  // the driver refused a discard or send
} // namespace SerialError
