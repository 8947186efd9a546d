#include "core/registry.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry_store.h"

static std::string key_path(const char* subkey) { return std::string("Software\\Orvanel\\") + subkey; }

size_t reg_read_string(const char* subkey, const char* name, const char* default_text, char* buffer,
                       size_t size) {
  if (size == 0) return 0;
  std::string value;
  if (store_read_value(HIVE_MACHINE, key_path(subkey), name, &value) && value.size() < size) {
    memcpy(buffer, value.data(), value.size());
    buffer[value.size()] = 0;
  } else {
    snprintf(buffer, size, "%s", default_text ? default_text : "");
  }
  return strlen(buffer);  // raw bytes of a non-text value end at their first zero
}

int reg_write_string(const char* subkey, const char* name, const char* text) {
  if (!text) return store_delete_value(HIVE_MACHINE, key_path(subkey), name);
  return store_write_value(HIVE_MACHINE, key_path(subkey), name, text);
}

int scan_unsigned(const char* text, uint32_t* out) {
  const char* p = text;
  while (isspace(static_cast<unsigned char>(*p))) p++;
  int negative = 0;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!isdigit(static_cast<unsigned char>(*p))) return 0;
  // Saturating, so that a huge or negative number reads as a large one and
  // the ranges of the settings bring it to their upper bound, never to a
  // small value it happened to wrap to.
  uint64_t value = 0;
  while (isdigit(static_cast<unsigned char>(*p))) {
    value = value * 10u + static_cast<uint64_t>(*p++ - '0');
    if (value > UINT32_MAX) value = UINT32_MAX;
  }
  if (negative && value > 0x80000000u) value = 0x80000000u;
  *out = negative ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  return 1;
}

uint32_t reg_read_number(const char* subkey, const char* name, uint32_t default_value) {
  char text[REG_NUMBER_TEXT_MAX + 1];
  uint32_t value;
  if (reg_read_string(subkey, name, "", text, sizeof text) > 0 && scan_unsigned(text, &value)) return value;
  return default_value;
}

int reg_write_number(const char* subkey, const char* name, uint32_t value, uint32_t default_value) {
  if (value == default_value) return reg_write_string(subkey, name, nullptr);
  char text[16];
  snprintf(text, sizeof text, "%u", value);
  return reg_write_string(subkey, name, text);
}

int reg_replace_values(const char* subkey, const char* const* names, const char* const* texts, size_t count) {
  std::vector<store_value> values;
  values.reserve(count);
  for (size_t i = 0; i < count; i++) {
    if (!names[i] || !texts[i]) return 0;
    if (!*texts[i]) continue;  // an empty text is stored as no value, as everywhere
    values.push_back(store_value{names[i], STORE_SZ, texts[i], {}});
  }
  return store_replace_key_values(HIVE_MACHINE, key_path(subkey), values);
}

int reg_read_values(const char* subkey, std::vector<std::string>* names, std::vector<std::string>* texts) {
  names->clear();
  texts->clear();
  std::vector<store_value> values;
  if (!store_list_key(HIVE_MACHINE, key_path(subkey), &values, nullptr)) return 0;
  for (store_value& v : values) {
    names->push_back(std::move(v.name));
    texts->push_back(v.data.substr(0, strnlen(v.data.c_str(), v.data.size())));
  }
  return 1;
}

int reg_list_key(const char* subkey, std::vector<store_value>* values, std::vector<std::string>* subkeys) {
  return store_list_key(HIVE_MACHINE, key_path(subkey), values, subkeys);
}
