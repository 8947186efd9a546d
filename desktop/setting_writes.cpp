#include "desktop/setting_writes.h"

#include <cstdio>
#include <cstring>

#include "core/registry.h"
#include "core/settings.h"

int store_setting_text(const char* name, const char* text) {
  if (text && !*text) text = nullptr;
  reg_write_string(SETTINGS_KEY, name, text);
  // Read back: a deletion on a key that does not exist reports failure, yet
  // leaves the store as wanted.
  char now[SETTINGS_PATH_MAX + 2];
  size_t length = reg_read_string(SETTINGS_KEY, name, "", now, sizeof now);
  return text ? strcmp(now, text) == 0 : length == 0;
}

int store_setting_number(const char* name, uint32_t value, uint32_t default_value) {
  char text[16];
  snprintf(text, sizeof text, "%u", value);
  return store_setting_text(name, value == default_value ? nullptr : text);
}
