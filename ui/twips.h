#pragma once

#include <QRect>

// The windows' layouts are given in twips; at 96 dots per inch 15 twips make one pixel.
inline constexpr int kTwipsPerPixel = 15;

constexpr int pixels(int twips) {
    return twips / kTwipsPerPixel;
}

constexpr QRect pixelRect(int left, int top, int width, int height) {
    return {pixels(left), pixels(top), pixels(width), pixels(height)};
}
