// Bytes that came from the network or a client, made safe to show: a log
// file, a terminal or a window must never receive a line end, an escape
// sequence or any other control byte that a peer chose.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Largest output of escape_control_bytes for `length` input bytes, without
// the terminating zero: every byte may become four.
constexpr size_t escaped_size(size_t length) { return length * 4; }

// Copies text into out (size bytes, zero-terminated when size > 0) with
// every byte below 0x20 and the byte 0x7f written as \xHH (lower-case hex);
// all other bytes, also backslashes and bytes above 0x7f, stay as they are.
// Stops before a byte or escape that would not fit whole. Returns the number
// of bytes written, without the zero.
size_t escape_control_bytes(const char* text, size_t length, char* out, size_t size);

// The same, as a string.
std::string printable_text(std::string_view text);
