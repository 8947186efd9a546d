// The per-user twins of the settings-key functions: Software\Orvanel\<subkey>
// of the user store, numbers as signed decimal text.
#pragma once

#include <cstddef>
#include <cstdint>

size_t user_reg_read_string(const char* subkey, const char* name, const char* default_text, char* buffer,
                            size_t size);
int user_reg_write_string(const char* subkey, const char* name, const char* text);

// The value read as one "%d" conversion, or default_value when it is absent,
// empty or does not begin with a number.
int32_t user_reg_read_number(const char* subkey, const char* name, int32_t default_value);

// Deletes the value when value equals default_value, else writes it as "%d".
int user_reg_write_number(const char* subkey, const char* name, int32_t value, int32_t default_value);
