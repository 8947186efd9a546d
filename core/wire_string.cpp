#include "core/wire_string.h"

#include <cstring>

int read_wire_string(const uint8_t* datagram, size_t length, size_t at, wire_string* out, size_t* next) {
  if (at >= length) return 0;
  const void* zero = memchr(datagram + at, 0, length - at);
  if (!zero) return 0;
  out->text = reinterpret_cast<const char*>(datagram + at);
  out->length = static_cast<size_t>(static_cast<const uint8_t*>(zero) - (datagram + at));
  *next = at + out->length + 1;
  return 1;
}

static char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

int wire_string_is(const wire_string* s, const char* name) {
  size_t i = 0;
  for (; i < s->length; i++)
    if (name[i] == 0 || fold(s->text[i]) != fold(name[i])) return 0;
  return name[i] == 0;
}
