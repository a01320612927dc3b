// Where each pixel of the 300 by 50 progress window comes from, for tests that check frames
// drawn by the updater: the title at the top-left corner, the bar's columns at (6 + i, 26),
// rows 26 to 41, and the background (left end, middle piece repeated, right end) elsewhere.
#pragma once

#include <SDL.h>

enum class WindowLayer { Background, Bar, Title };

constexpr int kWindowWidth = 300;
constexpr int kWindowHeight = 50;
constexpr int kBarLeft = 6;
constexpr int kBarTop = 26;
constexpr int kBarRows = 16;
constexpr int kFullBar = 288;

inline WindowLayer layerAt(int x, int y, int barLength, const SDL_Surface* title) {
    if (title && x < title->w && y < title->h) return WindowLayer::Title;
    if (x >= kBarLeft && x < kBarLeft + barLength && y >= kBarTop && y < kBarTop + kBarRows) return WindowLayer::Bar;
    return WindowLayer::Background;
}

// The column of the 21-pixel background picture that lands on window column x.
inline int backgroundColumnAt(int x) { return x < 7 ? x : x >= 293 ? 14 + (x - 293) : 7 + (x - 7) % 7; }
