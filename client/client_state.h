// Records, constants and procedures shared by the parts of the client library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/wire.h"

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
  uint32_t server_address;      // network order, resolved once per call
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

// command_line.cpp
void reset_client(client_transfer& transfer, client_settings& settings);
void split_command_line(const char* line, argument_vector& out);
int parse_client_args(int count, char* const* vector, client_transfer& transfer,
                      client_settings& settings);
uint32_t parse_decimal(std::string_view text);
int parse_unsigned(std::string_view text, uint64_t& value);

// resolve.cpp
constexpr uint32_t RESOLVE_FAILED = 0xFFFFFFFFu;
uint32_t resolve_host(const char* name);
int connect_to_host(int socket, uint32_t address, uint16_t port);
int wait_readable(int socket, int32_t seconds);
int64_t monotonic_ms();
// The monotonic time a wait of that many seconds (none when negative) ends.
int64_t deadline_after(int32_t seconds);
int wait_sockets_until(const int* sockets, int count, int64_t deadline_ms);

// local_file.cpp
// A GET's file: refuses an existing path unless overwrite; otherwise opens a
// temporary file beside path (or a device path itself).
int local_file_create(local_file& file, const char* path, int overwrite, int text,
                      unsigned char* buffer, std::size_t capacity);
// The GET has finished: writes what is buffered and gives the file the name
// path (over an existing file only with overwrite). On any failure the
// temporary file is removed and path is left as it was.
int local_file_commit(local_file& file, const char* path, int overwrite);
// The GET has failed: closes and removes the temporary file.
void local_file_abandon(local_file& file);
int local_file_open_read(local_file& file, const char* path, int text, unsigned char* buffer,
                         std::size_t capacity);
int64_t local_file_size(const local_file& file);
int local_file_write(local_file& file, const unsigned char* data, std::size_t length);
std::size_t local_file_read(local_file& file, unsigned char* data, std::size_t length);
int local_file_seek(local_file& file, uint64_t offset);
int local_file_close(local_file& file);

constexpr int LOCAL_FILE_OK = 0;
constexpr int LOCAL_FILE_EXISTS = 1;
constexpr int LOCAL_FILE_FAILED = 2;

// client_request.cpp
std::size_t build_request(client_transfer& transfer, const client_settings& settings,
                          uint8_t* buffer, std::size_t size);
int send_request(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
                 std::size_t length);
int parse_oack(const uint8_t* options, std::size_t length, client_transfer& transfer,
               const client_settings& settings);
std::string_view oack_refusal_text(int message);
void send_error(int socket, uint16_t code, std::string_view text);
// send_error on an unconnected socket, to address and port (network order).
void send_error_to(int socket, uint16_t code, std::string_view text, uint32_t address,
                   uint16_t port);
// Keeps the code and message of a received ERROR packet in the record;
// anything else (or a packet shorter than 4 bytes) leaves it as it was.
void note_server_error(client_transfer& transfer, const uint8_t* packet, std::size_t length);

// client_transfer.cpp
int send_and_wait(const client_settings& settings, client_transfer& transfer,
                  const uint8_t* packet, std::size_t length);
int32_t receive_file(const client_settings& settings, client_transfer& transfer,
                     uint8_t* buffer, std::size_t length);
int32_t send_file(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
                  std::size_t length);
int32_t send_file_windowed(const client_settings& settings, client_transfer& transfer,
                           uint8_t* buffer, std::size_t length);
void run_transfer(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
                  std::size_t length);

// block_table.cpp
void reset_block_table(block_table& table);
void mark_block(block_table& table, uint16_t n);
int block_marked(const block_table& table, uint16_t n);
uint16_t contiguous_end(const block_table& table, uint16_t n);
int all_blocks_received(const block_table& table);

// multicast_receive.cpp
constexpr int MULTICAST_CONTINUE = 0;     // go on as the group's master
constexpr int MULTICAST_COMPLETE = -1;    // the file arrived through the group
constexpr int MULTICAST_NO_GROUP = 10;    // socket, wait, receive, silence, seek
constexpr int MULTICAST_NO_JOIN = 11;
constexpr int MULTICAST_NO_SEND = 12;
int set_group_membership(const client_transfer& transfer, int join);
int receive_group_block(client_transfer& transfer, uint8_t* buffer);
int receive_multicast(const client_settings& settings, client_transfer& transfer,
                      uint8_t* buffer);
int32_t receive_as_master(const client_settings& settings, client_transfer& transfer,
                          uint8_t* buffer);
int32_t run_multicast_get(const client_settings& settings, client_transfer& transfer,
                          uint8_t* buffer);
void close_group_socket(client_transfer& transfer);

// transfer_count.cpp
// Told after every block that reached the file or the wire; none by default,
// so a host program of the library pays nothing for it.
using progress_procedure = void (*)(const client_transfer& transfer);
extern progress_procedure progress_report;
// Counts data bytes moved in bytes_moved and tells progress_report.
// byte_count is left to the callers, which define it per kind of transfer.
void count_moved(client_transfer& transfer, std::size_t length);

// run_client.cpp
int run_client(int count, char* const* vector);
extern client_transfer transfer_record;
extern client_settings settings_record;
