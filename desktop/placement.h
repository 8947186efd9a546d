// Where the main window stands: read at start, stored at Exit, per user.
#pragma once

#include <cstdint>

// The marker of a coordinate the window system chooses.
constexpr int32_t PLACEMENT_DEFAULT = INT32_MIN;
constexpr int32_t PLACEMENT_WIDTH = 500;
constexpr int32_t PLACEMENT_HEIGHT = 250;
constexpr int32_t WINDOW_MIN_WIDTH = 300;
constexpr int32_t WINDOW_MIN_HEIGHT = 160;

struct window_placement {
  int32_t left, top, width, height;
};

// The stored placement for a screen of that size: a coordinate kept only
// when the screen reaches 5 pixels past it (else 0), sizes raised to the
// window's minimum.
window_placement read_placement(int32_t screen_width, int32_t screen_height);

// Stores the rectangle; a value of 0 is deleted rather than stored.
void store_placement(const window_placement* placement);
