#include "desktop/session_snapshot.h"

#include <cstring>
#include <mutex>

#include "core/session.h"
#include "core/session_table.h"

void copy_session_rows(std::vector<session_row_source>* rows) {
  rows->clear();
  std::lock_guard<std::mutex> hold(list_lock);
  for (const tftp_session* s = session_list; s; s = s->next) {
    // A session is listed at admission, before its request is parsed; until
    // it is handed to a transfer loop it may still be refused, and its fields are being
    // written by the server loop. Only started or ended ones are shown.
    if (!session_has_started(s)) continue;
    session_row_source& r = rows->emplace_back();
    r.key = reinterpret_cast<uintptr_t>(s);
    r.opcode = s->opcode;
    r.block = s->block.load(std::memory_order_relaxed);
    r.mode = s->mode;
    r.block_size = s->block_size;
    r.file_size = s->file_size.load(std::memory_order_relaxed);
    r.result = shown_result(s);
    r.client_address = s->client_address;
    memcpy(r.path, s->path, sizeof r.path);
    r.path[sizeof r.path - 1] = 0;
  }
}
