// Writing one value of the settings key as the desktop's editors do, with a
// result that says whether the store now holds what was asked: a value
// equal to its default (or an empty text) is stored as no value, and that
// is a success also when the key did not exist yet.
#pragma once

#include <cstdint>

// text null or empty: the value is deleted. Returns 1 or 0.
int store_setting_text(const char* name, const char* text);

// value equal to default_value: the value is deleted; else "%u". Returns 1 or 0.
int store_setting_number(const char* name, uint32_t value, uint32_t default_value);
