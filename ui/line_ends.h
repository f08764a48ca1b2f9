// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>

// The line ends the operator can have a text to the instrument end with, in the order the lists
// offer them: Send's list, and the settings window's for asking the instrument.
struct LineEnd {
    const char* name;
    const char* bytes;
};
inline constexpr std::array<LineEnd, 4> kLineEnds{{
    {"none", ""},
    {"CR", "\r"},
    {"LF", "\n"},
    {"CR LF", "\r\n"},
}};
