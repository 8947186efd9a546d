// Pictures of the screen as the X server holds it, for the test driver.
#pragma once

#include <string>

// Saves the screen inside x, y, width, height (clipped to the screen) as a
// PNG. Returns 1, or 0 when there is no screen or the file cannot be written.
int save_screen(int x, int y, int width, int height, const std::string& path);
