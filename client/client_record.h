// The records and constants of one call of the client library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/wire.h"
#include "platform/ip_address.h"

constexpr uint16_t OPERATION_GET = 1;
constexpr uint16_t OPERATION_PUT = 2;

// Outcome of the transfer phase, kept in client_transfer::result.
constexpr int32_t TRANSFER_FINISHED = 1;
constexpr int32_t TRANSFER_UNFINISHED = 0;
constexpr int32_t TRANSFER_FAILED = -1;

// Value of parse_oack when every option was read.
constexpr int OACK_USABLE = -1;
constexpr int OACK_REFUSED = 8;

constexpr std::size_t COMMAND_LINE_SIZE = 256;
constexpr int COMMAND_ARGS_MAX = 32;
constexpr std::size_t HOST_NAME_SIZE = 256;
constexpr std::size_t FILE_NAME_SIZE = 260;
// A GET's temporary file: the target's name with a prefix and a suffix.
constexpr std::size_t TEMPORARY_NAME_SIZE = FILE_NAME_SIZE + 32;
constexpr uint32_t PACKET_SIZE_MIN = 516;
constexpr uint32_t PACKET_SIZE_MAX = 65504;
constexpr uint32_t RETRY_COUNT_DEFAULT = 10;
constexpr uint16_t SERVER_PORT_DEFAULT = 69;
constexpr std::size_t LOCAL_FILE_BUFFER_SIZE = 65536;
// Bytes of a server's ERROR message kept for the program's failure message.
constexpr std::size_t ERROR_TEXT_SIZE = 256;
// Datagrams dropped from the transfer socket once it is connected.
constexpr int STALE_DATAGRAMS_MAX = 256;
constexpr uint32_t WINDOW_SIZE_MAX = 65535;
// A windowed PUT keeps its window in memory to send it again: the window a
// PUT asks for is cut so that it fits this many bytes.
constexpr std::size_t PUT_WINDOW_BYTES = 16u << 20;

// The local file with its own buffering, so that netascii line ends can be
// translated on the way and every read or write failure is seen. A GET
// fills a temporary file beside the target, which takes the target's name
// only once the transfer has finished.
struct local_file {
  int fd;               // -1 when closed
  int text;             // 1: netascii translation
  int writing;          // 1: opened for a GET, 0: for a PUT
  int failed;           // a read, write or seek failed
  int at_end;           // reading: end of file or 0x1A reached
  int pending_cr;       // reading: a CR waits for the next byte
  unsigned char* buffer;
  std::size_t capacity;
  std::size_t start;    // reading: next unread byte
  std::size_t fill;     // bytes held in the buffer
  // GET: the file being filled; empty when the target itself is written (a
  // device, which is never renamed or removed).
  std::array<char, TEMPORARY_NAME_SIZE> temporary;
};

// Multicast reception: the ranges of blocks received, in ascending order,
// with a gap of at least one block between neighbours (touching ranges are
// merged). Part of the transfer record, so every call starts with it empty.
constexpr std::size_t BLOCK_TABLE_SIZE = 1024;
constexpr uint32_t BLOCK_TABLE_LIMIT = 1023;   // entries in use at most
constexpr uint16_t FINAL_BLOCK_UNKNOWN = 65535;
// Block numbers of a group do not wrap: at most this many blocks.
constexpr uint32_t GROUP_BLOCKS_MAX = 65535;

struct block_range {
  uint16_t first;
  uint16_t last;
};

struct block_table {
  std::array<block_range, BLOCK_TABLE_SIZE> entries;
  uint32_t used;
  uint16_t final_block;          // FINAL_BLOCK_UNKNOWN until a short block came
  int32_t last_written;          // group path: block last written, -1 unknown
};

// Why a call did not finish, beyond its result code: for a program that
// tells its user more than the code.
constexpr int CLIENT_FAILURE_NONE = 0;
constexpr int CLIENT_FAILURE_HOST_UNKNOWN = 1;  // the host name did not resolve
constexpr int CLIENT_FAILURE_NO_ANSWER = 2;     // silence, or no usable first answer
constexpr int CLIENT_FAILURE_SERVER_ERROR = 3;  // the server sent an ERROR packet

// One call's transfer; cleared at the start of every call.
struct client_transfer {
  uint16_t operation;           // OPERATION_GET or OPERATION_PUT, 0 until read
  uint32_t block;               // GET: next block expected; PUT: last block sent
  uint32_t mode;                // MODE_OCTET or MODE_NETASCII
  uint32_t option_flags;        // requested, then acknowledged options
  uint32_t buffer_size;         // bytes of the packet buffer
  uint32_t block_size;          // data bytes per DATA packet
  uint32_t byte_count;          // transfer size, then bytes moved
  int32_t timeout;              // seconds per wait
  int socket;                   // the transfer socket, -1 when closed
  int receive_socket;           // where answers are awaited
  int32_t result;               // TRANSFER_FINISHED, _UNFINISHED or _FAILED
  local_file file;
  uint32_t multicast_master;
  uint16_t multicast_port;
  std::array<uint8_t, 4> multicast_address;  // network order
  std::array<char, FILE_NAME_SIZE> remote_name;
  std::array<char, FILE_NAME_SIZE> local_name;
  ip_address server_address;    // resolved once per call
  uint32_t requested_block_size;  // what the request asked for
  uint32_t window_size;         // -w: 0 not asked; then the blocks per window (1 without the option)
  int64_t last_written;         // block last written by the GET loop
  int refused_message;          // index into OACK texts when parse_oack refused
  block_table blocks;           // multicast: blocks received through the group
  // byte_count is 32 bits wide, as tftp_tsize reports it; a program counts
  // on here beyond 4 GiB.
  uint64_t bytes_moved;         // data bytes written to the file or sent, this call
  uint64_t expected_size;       // the tsize of the OACK (GET), the local file's size (PUT)
  int size_known;               // expected_size holds a size
  int failure;                  // CLIENT_FAILURE_*
  uint16_t error_code;          // the server's ERROR packet, when failure says so
  uint16_t error_length;        // bytes of error_text in use
  std::array<char, ERROR_TEXT_SIZE> error_text;  // its message as sent: not terminated, not escaped
};

// Settings that a command line sets; back at their defaults for every call.
struct client_settings {
  uint16_t server_port;
  uint32_t retry_count;
  int multicast;
  int overwrite;
  int tsize;
  std::array<char, HOST_NAME_SIZE> host_name;
};

// The command line copied and split in place.
struct argument_vector {
  std::array<char, COMMAND_LINE_SIZE> text;
  std::array<char*, COMMAND_ARGS_MAX> vector;
  int count;
};
