// What TFTP says on the wire, as the server core and the client library
// both speak it: opcodes, option bits, modes, error codes, packet sizes, the
// arithmetic of 16-bit block numbers and the socket buffer a window needs.
#pragma once

#include <cstddef>
#include <cstdint>

enum { OPCODE_RRQ = 1, OPCODE_WRQ = 2, OPCODE_DATA = 3, OPCODE_ACK = 4, OPCODE_ERROR = 5, OPCODE_OACK = 6 };

// Transfer modes; the server also keeps the obsolete "mail".
enum { MODE_NONE = 0, MODE_MAIL = 1, MODE_NETASCII = 2, MODE_OCTET = 3 };

// Option bits, as requested and then as acknowledged.
enum { OPT_BLKSIZE = 1, OPT_TIMEOUT = 2, OPT_TSIZE = 4, OPT_MULTICAST = 8, OPT_WINDOWSIZE = 16 };

// TFTP error codes (RFC 1350, 2347).
enum {
  TFTP_ERROR_UNDEFINED = 0,
  TFTP_ERROR_NOT_FOUND = 1,
  TFTP_ERROR_ACCESS = 2,
  TFTP_ERROR_DISK_FULL = 3,
  TFTP_ERROR_ILLEGAL = 4,
  TFTP_ERROR_UNKNOWN_TID = 5,
  TFTP_ERROR_EXISTS = 6,
  TFTP_ERROR_NO_USER = 7,
  TFTP_ERROR_OPTION = 8,
};

constexpr uint16_t BLKSIZE_DEFAULT = 512;
constexpr uint16_t BLKSIZE_MIN = 8;
constexpr uint16_t BLKSIZE_MAX = 65464;  // largest payload of one UDP datagram over IPv4
constexpr uint32_t TIMEOUT_MIN = 1;
constexpr uint32_t TIMEOUT_MAX = 255;
constexpr uint32_t WINDOWSIZE_LIMIT = 65535;  // the largest window a request can name
// Room for any ERROR packet either side sends: opcode, code, a text cut to
// fit, and its zero byte.
constexpr size_t ERROR_PACKET_SIZE = 128;

// Big-endian 16-bit fields of packets.
inline uint16_t get_u16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void put_u16(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

// The full block count that a 16-bit block number acknowledges, counted on
// from acked, the last block known acknowledged (numbers wrap at 65536).
inline uint32_t acknowledged_block(uint32_t acked, uint32_t number) { return acked + ((number - acked) & 0xFFFFu); }

// What the system keeps per datagram in a socket buffer beside its bytes,
// and the most a window's buffer is asked to hold.
constexpr size_t DATAGRAM_OVERHEAD = 512;
constexpr size_t SOCKET_BUFFER_MAX = 32u << 20;

// The socket buffer in which a window of block_size blocks fits.
inline size_t window_socket_bytes(uint32_t window, uint32_t block_size) {
  uint64_t bytes = static_cast<uint64_t>(window) * (block_size + 4u + DATAGRAM_OVERHEAD);
  return bytes > SOCKET_BUFFER_MAX ? SOCKET_BUFFER_MAX : static_cast<size_t>(bytes);
}
