#include "core/printable.h"

static int is_control_byte(unsigned char c) { return c < 0x20 || c == 0x7f; }

size_t escape_control_bytes(const char* text, size_t length, char* out, size_t size) {
  static const char hex[] = "0123456789abcdef";
  if (size == 0) return 0;
  size_t n = 0;
  for (size_t i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!is_control_byte(c)) {
      if (n + 1 >= size) break;
      out[n++] = static_cast<char>(c);
      continue;
    }
    if (n + 4 >= size) break;
    out[n++] = '\\';
    out[n++] = 'x';
    out[n++] = hex[c >> 4];
    out[n++] = hex[c & 15];
  }
  out[n] = 0;
  return n;
}

std::string printable_text(std::string_view text) {
  std::string out(escaped_size(text.size()) + 1, '\0');
  out.resize(escape_control_bytes(text.data(), text.size(), out.data(), out.size()));
  return out;
}
