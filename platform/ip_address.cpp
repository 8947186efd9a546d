#include "platform/ip_address.h"

#include <cstdio>
#include <cstring>

ip_address ipv4_address(uint32_t network_order) {
  ip_address a{};
  a.family = IP_V4;
  memcpy(a.bytes, &network_order, 4);
  return a;
}

uint32_t ipv4_value(const ip_address& address) {
  uint32_t value = 0;
  if (address.family == IP_V4) memcpy(&value, address.bytes, 4);
  return value;
}

static const uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

ip_address ipv6_address(const uint8_t bytes[16], uint32_t scope) {
  ip_address a{};
  if (memcmp(bytes, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0) {
    a.family = IP_V4;
    memcpy(a.bytes, bytes + 12, 4);
    return a;
  }
  a.family = IP_V6;
  memcpy(a.bytes, bytes, 16);
  a.scope = scope;
  return a;
}

ip_address any_address(int family) {
  ip_address a{};
  a.family = static_cast<uint8_t>(family == IP_V6 ? IP_V6 : IP_V4);
  return a;
}

int is_any_address(const ip_address& address) {
  static const uint8_t zero[16] = {};
  return memcmp(address.bytes, zero, address.family == IP_V6 ? 16 : 4) == 0;
}

int same_address(const ip_address& a, const ip_address& b) {
  return a.family == b.family && a.scope == b.scope && memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

int compare_addresses(const ip_address& a, const ip_address& b) {
  if (a.family != b.family) return a.family < b.family ? -1 : 1;
  return memcmp(a.bytes, b.bytes, a.family == IP_V6 ? 16 : 4);
}

// A decimal number below 256 of one to three digits; returns the characters
// read, 0 when there is none.
static int read_octet(const char* text, uint8_t* value) {
  int n = 0, v = 0;
  while (n < 3 && text[n] >= '0' && text[n] <= '9') v = v * 10 + (text[n++] - '0');
  if (n == 0 || v > 255) return 0;
  *value = static_cast<uint8_t>(v);
  return n;
}

// A dotted quad at text, ending at end; 1 and the four bytes, else 0.
static int read_dotted(const char* text, const char* end, uint8_t out[4]) {
  const char* p = text;
  for (int i = 0; i < 4; i++) {
    if (i > 0 && *p++ != '.') return 0;
    int n = read_octet(p, &out[i]);
    if (!n) return 0;
    p += n;
  }
  return p == end;
}

static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The IPv6 text from text to end (no zone) into 16 bytes; 1 or 0.
static int read_ipv6(const char* text, const char* end, uint8_t out[16]) {
  uint16_t groups[8] = {};
  int count = 0, gap = -1;
  const char* p = text;
  if (p + 1 < end && p[0] == ':' && p[1] == ':') {
    gap = 0;
    p += 2;
  } else if (p < end && *p == ':') {
    return 0;
  }
  while (p < end) {
    // An IPv4 tail takes the last two groups.
    const char* q = p;
    while (q < end && *q != ':') q++;
    if (q == end && memchr(p, '.', static_cast<size_t>(end - p))) {
      uint8_t quad[4];
      if (count > 6 || !read_dotted(p, end, quad)) return 0;
      groups[count++] = static_cast<uint16_t>(quad[0] << 8 | quad[1]);
      groups[count++] = static_cast<uint16_t>(quad[2] << 8 | quad[3]);
      p = end;
      break;
    }
    int digits = 0, value = 0;
    while (p < end && hex_value(*p) >= 0 && digits < 5) value = value * 16 + hex_value(*p++), digits++;
    if (digits == 0 || digits > 4 || count == 8) return 0;
    groups[count++] = static_cast<uint16_t>(value);
    if (p == end) break;
    if (*p != ':') return 0;
    p++;
    if (p < end && *p == ':') {
      if (gap >= 0) return 0;
      gap = count;
      p++;
    } else if (p == end) {
      return 0;  // a trailing single ':'
    }
  }
  if (gap >= 0) {
    if (count == 8) return 0;
    int moved = count - gap;
    memmove(groups + 8 - moved, groups + gap, sizeof(uint16_t) * static_cast<size_t>(moved));
    for (int i = gap; i < 8 - moved; i++) groups[i] = 0;
  } else if (count != 8) {
    return 0;
  }
  for (int i = 0; i < 8; i++) {
    out[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
    out[2 * i + 1] = static_cast<uint8_t>(groups[i]);
  }
  return 1;
}

int parse_ip_address(const char* text, ip_address* out) {
  if (!text) return 0;
  size_t length = strlen(text);
  if (length == 0 || length >= IP_TEXT_SIZE) return 0;
  const char* end = text + length;
  ip_address a{};
  if (!memchr(text, ':', length)) {
    if (!read_dotted(text, end, a.bytes)) return 0;
    a.family = IP_V4;
    *out = a;
    return 1;
  }
  const char* zone = static_cast<const char*>(memchr(text, '%', length));
  uint32_t scope = 0;
  if (zone) {
    const char* d = zone + 1;
    if (d == end) return 0;
    for (; d < end; d++) {
      if (*d < '0' || *d > '9' || scope > 429496728u) return 0;
      scope = scope * 10 + static_cast<uint32_t>(*d - '0');
    }
  }
  if (!read_ipv6(text, zone ? zone : end, a.bytes)) return 0;
  a.family = IP_V6;
  a.scope = scope;
  *out = a;
  return 1;
}

char* format_ip_address(const ip_address& address, char* buffer) {
  const uint8_t* b = address.bytes;
  if (address.family != IP_V6) {
    snprintf(buffer, IP_TEXT_SIZE, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buffer;
  }
  uint16_t g[8];
  for (int i = 0; i < 8; i++) g[i] = static_cast<uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
  int best = -1, best_length = 1;
  for (int i = 0; i < 8;) {
    if (g[i] != 0) {
      i++;
      continue;
    }
    int j = i;
    while (j < 8 && g[j] == 0) j++;
    if (j - i > best_length) best = i, best_length = j - i;
    i = j;
  }
  char* p = buffer;
  char* limit = buffer + IP_TEXT_SIZE;
  // ::ffff:a.b.c.d never arrives here (such an address is held as IPv4), but
  // the other forms with an IPv4 tail are written in hexadecimal as RFC 5952
  // allows.
  for (int i = 0; i < 8; i++) {
    if (i == best) {
      p += snprintf(p, static_cast<size_t>(limit - p), "::");
      i += best_length - 1;
      continue;
    }
    if (i > 0 && i != best + best_length) *p++ = ':';
    p += snprintf(p, static_cast<size_t>(limit - p), "%x", g[i]);
  }
  if (address.scope) snprintf(p, static_cast<size_t>(limit - p), "%%%u", address.scope);
  else *p = 0;
  return buffer;
}

char* address_file_name(const ip_address& address, char* buffer) {
  ip_address plain = address;
  plain.scope = 0;
  format_ip_address(plain, buffer);
  for (char* p = buffer; *p; p++) {
    if (*p == ':') *p = '-';
  }
  return buffer;
}
