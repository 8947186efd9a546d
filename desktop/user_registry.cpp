#include "desktop/user_registry.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/registry.h"
#include "platform/registry_store.h"

static std::string user_key(const char* subkey) { return std::string("Software\\Orvanel\\") + subkey; }

size_t user_reg_read_string(const char* subkey, const char* name, const char* default_text, char* buffer,
                            size_t size) {
  if (size == 0) return 0;
  std::string value;
  if (store_read_value(HIVE_USER, user_key(subkey), name, &value) && value.size() < size) {
    memcpy(buffer, value.data(), value.size());
    buffer[value.size()] = 0;
  } else {
    snprintf(buffer, size, "%s", default_text ? default_text : "");
  }
  return strlen(buffer);
}

int user_reg_write_string(const char* subkey, const char* name, const char* text) {
  if (!text) return store_delete_value(HIVE_USER, user_key(subkey), name);
  return store_write_value(HIVE_USER, user_key(subkey), name, text);
}

int32_t user_reg_read_number(const char* subkey, const char* name, int32_t default_value) {
  char text[64];
  uint32_t value;
  // "%d" and "%u" read the same digits; the bits are taken as signed.
  if (user_reg_read_string(subkey, name, "", text, sizeof text) > 0 && scan_unsigned(text, &value))
    return static_cast<int32_t>(value);
  return default_value;
}

int user_reg_write_number(const char* subkey, const char* name, int32_t value, int32_t default_value) {
  if (value == default_value) return user_reg_write_string(subkey, name, nullptr);
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  return user_reg_write_string(subkey, name, text);
}
