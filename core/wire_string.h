// Zero-terminated strings of a received datagram (request names, modes and
// option pairs, OACK pairs), read with the datagram's length only: nothing
// after its last byte is ever looked at. Shared by the server core and the
// client library.
#pragma once

#include <cstddef>
#include <cstdint>

struct wire_string {
  const char* text;  // first byte, inside the datagram; not zero-terminated for the reader
  size_t length;     // bytes before the zero byte
};

// Reads the string that starts at offset `at` of a datagram of `length`
// bytes. Only when its zero byte lies inside the datagram: fills *out, sets
// *next to the offset just after the zero byte, and returns 1. Otherwise
// returns 0 and changes nothing.
int read_wire_string(const uint8_t* datagram, size_t length, size_t at, wire_string* out, size_t* next);

// 1 when the string equals name, ASCII letters compared without regard to
// case, over exactly the string's length; else 0.
int wire_string_is(const wire_string* s, const char* name);
