// IPv4 and IPv6 addresses as the server and the client hold them: one
// plain record for both families, its text forms, and its order. Pure code,
// the same on every system; the socket backends turn it into their own
// socket address records.
#pragma once

#include <cstddef>
#include <cstdint>

enum { IP_NONE = 0, IP_V4 = 4, IP_V6 = 6 };

struct ip_address {
  uint8_t family;     // IP_V4, IP_V6, or IP_NONE for no address
  uint8_t bytes[16];  // network order: an IPv4 address in bytes[0..4), the rest 0
  uint32_t scope;     // the interface of an IPv6 link-local address, else 0
};

// Room for the longest text form with a zone: 45 characters, "%", 10 digits.
constexpr size_t IP_TEXT_SIZE = 58;

// The IPv4 address held in network order (0 = any address).
ip_address ipv4_address(uint32_t network_order);
// The IPv4 address in network order, or 0 for an address of another family.
uint32_t ipv4_value(const ip_address& address);
// An IPv6 address from its 16 bytes. An IPv4-mapped one (::ffff:a.b.c.d)
// becomes the IPv4 address it maps, so that a client reaching an IPv6
// socket over IPv4 is known by its IPv4 address only.
ip_address ipv6_address(const uint8_t bytes[16], uint32_t scope);
// The any-address of the family (IP_V4 or IP_V6).
ip_address any_address(int family);

// 1 for the any-address of its family (0.0.0.0, ::).
int is_any_address(const ip_address& address);
// 1 when both are the same address of the same family (zone included).
int same_address(const ip_address& a, const ip_address& b);
// Orders two addresses of one family as unsigned numbers (32 or 128 bits):
// negative, 0 or positive. Addresses of different families order by family.
int compare_addresses(const ip_address& a, const ip_address& b);

// Reads a dotted quad ("192.168.1.20": four decimal numbers below 256, no
// more than three digits each) or an IPv6 address in any RFC 4291 text form
// (with an embedded dotted quad at the end, and a numeric zone "%N"). The
// whole text must be the address. Returns 1 and sets *out, else 0.
int parse_ip_address(const char* text, ip_address* out);

// The address as text: IPv4 dotted ("%u.%u.%u.%u"), IPv6 in the RFC 5952
// form (lower case, no leading zeros, the longest run of two or more zero
// groups as "::", the first such run on a tie), a zone as "%N". buffer
// holds IP_TEXT_SIZE bytes; returns buffer.
char* format_ip_address(const ip_address& address, char* buffer);

// The address as a file name that every system accepts: IPv4 dotted, IPv6
// in its RFC 5952 form with each ":" written "-" ("2001:db8::7" is
// "2001-db8--7"; the zone is left out). buffer holds IP_TEXT_SIZE bytes.
char* address_file_name(const ip_address& address, char* buffer);
