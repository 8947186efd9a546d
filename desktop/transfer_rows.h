// The rows of the transfer list, computed from plain copies of the session
// records, so that tests compute them without a window.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/printable.h"
#include "core/session.h"

// The fields of one session that the list shows, copied under list_lock.
struct session_row_source {
  uintptr_t key;  // the session's address, kept as the row's data
  uint16_t opcode;
  uint32_t block;
  int32_t mode;
  uint16_t block_size;
  uint64_t file_size;
  int32_t result;
  ip_address client_address;
  char path[SESSION_PATH_SIZE];
};

// Image list: 15 progress steps, then these.
enum { PROGRESS_STEPS = 15, IMAGE_COMPLETE = 15, IMAGE_FAILED = 16, IMAGE_BLANK = 17, IMAGE_COUNT = 18 };

struct transfer_row {
  uintptr_t key;
  int image;
  char status[32];    // "%u %%" or "%u b"
  char address[IP_TEXT_SIZE];  // dotted, or IPv6 as RFC 5952 writes it
  char operation[16]; // "Get/octet"
  char file[escaped_size(SESSION_PATH_SIZE) + 1];  // control bytes as \xHH
};

// Fills row from one session: the byte count capped at the file size, the
// progress step or the check mark, the red cross for a failed result, the
// percent (when percent is nonzero and the size is known) or the byte count,
// and the path without its first root_length characters, its control bytes
// spelt \xHH: a client names the file.
void compute_transfer_row(const session_row_source* source, size_t root_length, int percent, transfer_row* row);

// " Active Clients: %u" with the number of running transfers.
void format_clients_text(uint32_t active, char* buffer, size_t size);

// The bottom bar: " Failed to listen on Port %u" when stop is 1, else
// " Server paused" while paused, else " Listening on Port %u".
void format_state_text(uint32_t port, int paused, int stop, char* buffer, size_t size);
