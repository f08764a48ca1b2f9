// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>

// The line ends a text to the instrument can end with, in the order the windows' lists offer
// them (Send's, and the one for asking the instrument), by the names the operator reads.
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
