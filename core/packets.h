// TFTP packets, options and the texts of ERROR packets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/wire.h"
#include "platform/ip_address.h"

struct tftp_session;

constexpr int ERROR_TEXT_COUNT = 22;
extern const char* const error_texts[ERROR_TEXT_COUNT];

// Indices of error_texts: the message index a refusal keeps in `refusal_message`.
enum {
  MSG_UNSPECIFIED = 0,
  MSG_FILE_NOT_FOUND = 1,
  MSG_ACCESS_VIOLATION = 2,
  MSG_DISK_FULL = 3,
  MSG_ILLEGAL_OPERATION = 4,
  MSG_UNKNOWN_TRANSFER = 5,
  MSG_FILE_EXISTS = 6,
  MSG_NO_SUCH_USER = 7,
  MSG_INVALID_OPTION = 8,
  MSG_BAD_PACKET = 10,
  MSG_INVALID_PATH = 11,
  MSG_PATH_TOO_LONG = 12,
  MSG_ACCESS_DENIED = 13,
  MSG_BAD_MODE = 14,
  MSG_BAD_BLKSIZE = 15,
  MSG_BAD_TIMEOUT = 16,
  MSG_BAD_TSIZE = 17,
  MSG_BAD_MULTICAST = 18,
  MSG_CREATE_FAILED = 19,
  MSG_DATA_PORT_FAILED = 20,
  MSG_RESOURCE_PROBLEM = 21,
};

extern const char* const mode_names[4];     // "", "mail ", "ascii", "octet"
extern const char* const request_kinds[3];  // "", "Get", "Put"

// What parse_request and parse_options return for a request they take;
// anything else is the TFTP error code of a refusal.
constexpr int REQUEST_ACCEPTED = -1;

constexpr size_t REQUEST_BUFFER_SIZE = 1536;
constexpr size_t OACK_BUFFER_SIZE = 128;  // the longest OACK, every option at its longest, has 106 bytes

// Reads the option pairs after the mode string. `length` is the number of
// datagram bytes from `options` to the end; nothing after them is read. A
// name without a value is skipped; a last value without its zero byte ends
// with the datagram. Returns REQUEST_ACCEPTED, or TFTP_ERROR_OPTION with
// the message index in session->refusal_message.
int parse_options(const char* options, int length, tftp_session* session);

// One acknowledged option, as the OACK and the trace lines spell it.
constexpr int OPTION_COUNT = 5;
struct option_text {
  const char* name;
  char value[40];
};

// The options that session->option_flags acknowledges, in OACK order, into
// out; returns how many.
int accepted_options(const tftp_session* session, option_text out[OPTION_COUNT]);

// Builds the OACK for session->option_flags into out (OACK_BUFFER_SIZE
// bytes); returns its length.
size_t build_oack(const tftp_session* session, uint8_t* out);

// Sends the OACK on the session's connected data socket; returns the bytes built.
size_t send_oack(tftp_session* session);

// Builds an ERROR packet with code and error_texts[message_index] into out
// (ERROR_PACKET_SIZE bytes); returns its length.
size_t build_error_packet(int code, int message_index, uint8_t* out);

// Sends one ERROR packet with code and error_texts[message_index] to the
// address and port (network order), from the local address `from`.
void send_error_packet(int code, int message_index, int socket, const ip_address& address, uint16_t port,
                       const ip_address& from);

// Reads an unsigned decimal from the `length` bytes at text: white space,
// digits, anything after ignored. Returns 1 and the number (at most
// UINT32_MAX), or 0 when there are no digits.
int read_decimal(const char* text, size_t length, uint32_t* out);
