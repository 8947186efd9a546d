#include "desktop/placement.h"

#include "core/settings.h"
#include "desktop/user_registry.h"

// 64 bits: left + 5 must not overflow for a stored value near INT32_MAX.
static int32_t on_screen(int32_t coordinate, int32_t screen) {
  return static_cast<int64_t>(screen) > static_cast<int64_t>(coordinate) + 5 ? coordinate : 0;
}

window_placement read_placement(int32_t screen_width, int32_t screen_height) {
  window_placement p;
  p.left = on_screen(user_reg_read_number(SETTINGS_KEY, "left", PLACEMENT_DEFAULT), screen_width);
  p.top = on_screen(user_reg_read_number(SETTINGS_KEY, "top", PLACEMENT_DEFAULT), screen_height);
  p.width = user_reg_read_number(SETTINGS_KEY, "width", PLACEMENT_WIDTH);
  p.height = user_reg_read_number(SETTINGS_KEY, "height", PLACEMENT_HEIGHT);
  if (p.width < WINDOW_MIN_WIDTH) p.width = WINDOW_MIN_WIDTH;
  if (p.height < WINDOW_MIN_HEIGHT) p.height = WINDOW_MIN_HEIGHT;
  return p;
}

void store_placement(const window_placement* p) {
  user_reg_write_number(SETTINGS_KEY, "left", p->left, 0);
  user_reg_write_number(SETTINGS_KEY, "top", p->top, 0);
  user_reg_write_number(SETTINGS_KEY, "width", p->width, 0);
  user_reg_write_number(SETTINGS_KEY, "height", p->height, 0);
}
