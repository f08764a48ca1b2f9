// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// How the Windows file calls (platform_windows_files.cpp) spell a path to the system.

#include <QString>
#include <string>

/// An absolute path in Qt's spelling ("C:/Data/x.txt", "//host/share/x.txt") in the extended
/// form Win32 takes past MAX_PATH (260 characters): "\\?\C:\Data\x.txt" and
/// "\\?\UNC\host\share\x.txt". That form is taken as it stands, so the path is cleaned of
/// "." and ".." first. Any other path (relative, a device's) in Windows' separators only.
std::wstring win32Path(const QString& path);
