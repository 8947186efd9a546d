// Loading the DATA packet of a read's block from its file, view or
// netascii stream, and ending a read whose file cannot be read.
#include "core/block_loading.h"

#include <cstring>

#include "core/data_socket.h"
#include "core/file_views.h"
#include "core/netascii.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/transfer_log.h"

uint32_t block_index(uint32_t block) { return LargeFiles != 0 ? block : (block & 0xFFFFu); }

// Netascii: the table of recent blocks, and the entry block `index` uses.
static uint32_t text_slot(const tftp_session* s, uint32_t index, int64_t** start, uint32_t** number) {
  if (s->own.text.window_start) {
    *start = s->own.text.window_start;
    *number = s->own.text.window_index;
    return index % s->own.text.window_slots;
  }
  *start = const_cast<int64_t*>(s->own.text.block_start);
  *number = const_cast<uint32_t*>(s->own.text.block_index);
  return index % NETASCII_RECENT;
}

// Netascii: remembers where block `index` began on disk.
static void remember_text_block(tftp_session* s, uint32_t index, int64_t offset) {
  int64_t* start;
  uint32_t* number;
  uint32_t slot = text_slot(s, index, &start, &number);
  number[slot] = index;
  start[slot] = offset;
}

// Netascii: positions the stream at the start of translated block `index`.
// Blocks sent again come from the recent table; anything else is found by
// translating from the start of the file. Returns 1, or 0 on a read error.
static int seek_text_block(tftp_session* s, uint32_t index) {
  int64_t* start;
  uint32_t* number;
  uint32_t slot = text_slot(s, index, &start, &number);
  if (start[slot] >= 0 && number[slot] == index) {
    s->own.text.ended = 0;
    return fseeko(s->file, start[slot], SEEK_SET) == 0;
  }
  if (fseeko(s->file, 0, SEEK_SET) != 0) return 0;
  s->own.text.ended = 0;
  uint8_t scratch[4096];
  uint64_t skip = static_cast<uint64_t>(index) * s->block_size;
  while (skip > 0) {
    size_t want = skip < sizeof scratch ? static_cast<size_t>(skip) : sizeof scratch;
    size_t got = netascii_read(s->file, scratch, want, &s->own.text.ended);
    if (got == 0) break;
    skip -= got;
  }
  return !ferror(s->file);
}

int load_block(tftp_session* s, uint8_t* buffer, uint32_t index) {
  buffer[0] = 0;
  buffer[1] = OPCODE_DATA;
  buffer[2] = static_cast<uint8_t>((index + 1) >> 8);
  buffer[3] = static_cast<uint8_t>(index + 1);
  uint64_t offset = static_cast<uint64_t>(index) * s->block_size;
  uint64_t size = s->file_size.load(std::memory_order_relaxed);
  int length;
  if (s->mode == MODE_NETASCII) {
    // The translated data ends before the size on disk: the stream says where.
    if (index != s->seek_block + 1 && !seek_text_block(s, index)) return LOAD_FAILED;
    remember_text_block(s, index, ftello(s->file));
    length = static_cast<int>(netascii_read(s->file, buffer + 4, s->block_size, &s->own.text.ended));
    if (ferror(s->file)) return LOAD_FAILED;
    s->seek_block = index;
  } else if (offset > size) {
    return LOAD_BEYOND_END;
  } else {
    // Exactly the size the file had when it was opened (and the OACK told):
    // a file that shrinks since is an error, one that grows is cut there.
    uint64_t left = size - offset;
    length = left < s->block_size ? static_cast<int>(left) : s->block_size;
    if (s->shared) {
      log_line(4, 0, " TFTP  load offset %llu/%llu %u %d\n", static_cast<unsigned long long>(offset),
               static_cast<unsigned long long>(size), index, length);
      if (!copy_from_view(s, offset, buffer + 4, static_cast<size_t>(length))) return LOAD_FAILED;
    } else if (length > 0) {
      if (index != s->seek_block + 1 && fseeko(s->file, static_cast<off_t>(offset), SEEK_SET) != 0)
        return LOAD_FAILED;
      if (fread(buffer + 4, 1, static_cast<size_t>(length), s->file) != static_cast<size_t>(length))
        return LOAD_FAILED;
    }
    s->seek_block = index;
  }
  return length;
}

int read_failed(tftp_session* s, uint32_t index) {
  send_session_error(s, TFTP_ERROR_UNDEFINED, MSG_UNSPECIFIED);
  set_error_text(s, "%u %s", TFTP_ERROR_UNDEFINED, error_texts[MSG_UNSPECIFIED]);
  log_line(1, 1, " TFTP  read failed on block %u\n", index + 1);
  return RESULT_FAILED;
}
