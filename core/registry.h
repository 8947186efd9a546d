// Access to the settings key Software\Orvanel\<subkey> of the machine store.
// Every value is text; a number equal to its default is stored by deleting it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry_store.h"

// Reads the value into buffer (at most size bytes with its zero); copies the
// default when the key or value is missing or the value does not fit.
// Returns the length of the text now in the buffer.
size_t reg_read_string(const char* subkey, const char* name, const char* default_text, char* buffer,
                       size_t size);

// Sets the value to text, creating the key; a null text deletes the value.
// Returns 1 on success, 0 on failure.
int reg_write_string(const char* subkey, const char* name, const char* text);

// The longest text reg_read_number reads; a longer value reads as absent.
constexpr size_t REG_NUMBER_TEXT_MAX = 63;

// The value read as one "%u" conversion, or default_value when it is absent,
// empty or does not begin with a number.
uint32_t reg_read_number(const char* subkey, const char* name, uint32_t default_value);

// Deletes the value when value equals default_value, else writes it as "%u".
int reg_write_number(const char* subkey, const char* name, uint32_t value, uint32_t default_value);

// Replaces all values of the key by the count texts under their names (an
// empty text stores no value), as one change that readers see whole (the access rules are rewritten so:
// a request must never meet half a rule set). Returns 1 on success, 0 on
// failure, when nothing changed.
int reg_replace_values(const char* subkey, const char* const* names, const char* const* texts, size_t count);

// All values of the key as one snapshot of the store, so that a reader of
// several values never takes some from before a change and some from
// after it. texts[i] is the value's text (a value of another type: its
// bytes up to the first zero). Returns 1 when the key exists, else 0 with
// both lists empty.
int reg_read_values(const char* subkey, std::vector<std::string>* names, std::vector<std::string>* texts);

// The values of the settings key Software\Orvanel\<subkey> with their
// types, and the names of its direct subkeys. Returns 1 when the key
// exists, else 0 with both lists empty.
int reg_list_key(const char* subkey, std::vector<store_value>* values, std::vector<std::string>* subkeys);

// One "%u" conversion as the C library does it: white space, an optional
// sign, digits (a minus gives the two's complement); text after the digits
// is ignored. Digits beyond 32 bits saturate at 4294967295, and a negative
// number reads as 2^31 or more. Returns 1 and stores the number, or 0 when
// there are no digits.
int scan_unsigned(const char* text, uint32_t* out);
