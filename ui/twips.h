// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRect>

#include <span>
#include <string_view>

class QWidget;

// The windows' layouts are given in twips; at 96 dots per inch 15 twips make one pixel.
inline constexpr int kTwipsPerPixel = 15;

constexpr int pixels(int twips) {
    return twips / kTwipsPerPixel;
}

constexpr QRect pixelRect(int left, int top, int width, int height) {
    return {pixels(left), pixels(top), pixels(width), pixels(height)};
}

// A control's place in twips, relative to its container, found by the control's object name.
struct Placement {
    std::string_view name;
    int left, top, width, height;
};

/// Puts `control` where `layout` places its object name. A control the layout does not place
/// is a mistake in the program: it stops at once, naming the control.
void place(QWidget* control, std::span<const Placement> layout);
