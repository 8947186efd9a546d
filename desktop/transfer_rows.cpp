#include "desktop/transfer_rows.h"

#include <cstdio>
#include <cstring>

#include "core/packets.h"
#include "core/transfer_log.h"
#include "desktop/ui_strings.h"

// part * scale / whole without overflow, for part <= whole.
static uint64_t scaled(uint64_t part, uint64_t whole, uint32_t scale) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(part) * scale / whole);
}

void compute_transfer_row(const session_row_source* s, size_t root_length, int percent, transfer_row* row) {
  // 64 bits: a large read passes 4 GiB long before its block counter wraps.
  uint64_t bytes = static_cast<uint64_t>(s->block_size) * s->block;
  int image;
  if (s->file_size != 0) {
    if (bytes > s->file_size) bytes = s->file_size;
    image = static_cast<int>(scaled(bytes, s->file_size, PROGRESS_STEPS));
  } else {
    image = s->result == RESULT_OK ? IMAGE_COMPLETE : IMAGE_BLANK;
  }
  if (s->result > 0) image = IMAGE_FAILED;
  row->key = s->key;
  row->image = image;
  if (percent && s->file_size != 0)
    snprintf(row->status, sizeof row->status, "%llu %%",
             static_cast<unsigned long long>(scaled(bytes, s->file_size, 100)));
  else
    snprintf(row->status, sizeof row->status, "%llu b", static_cast<unsigned long long>(bytes));
  format_ip_address(s->client_address, row->address);
  const char* kind = s->opcode == OPCODE_RRQ ? "Get/" : s->opcode == OPCODE_WRQ ? "Put/" : "";
  const char* mode = s->mode >= 0 && s->mode < 4 ? mode_names[s->mode] : "";
  snprintf(row->operation, sizeof row->operation, "%s%s", kind, mode);
  // The root may have changed since the session began: never skip past the end.
  size_t length = strnlen(s->path, sizeof s->path - 1);
  size_t skip = root_length < length ? root_length : length;
  escape_control_bytes(s->path + skip, length - skip, row->file, sizeof row->file);
}

void format_clients_text(uint32_t active, char* buffer, size_t size) {
  format_ui_number(UI_ACTIVE_CLIENTS, active, buffer, size);
}

void format_state_text(uint32_t port, int paused, int stop, char* buffer, size_t size) {
  if (stop == 1)
    format_ui_number(UI_FAILED_TO_LISTEN, port, buffer, size);
  else if (paused)
    load_ui_string(UI_SERVER_PAUSED, buffer, size);
  else
    format_ui_number(UI_LISTENING, port, buffer, size);
}
