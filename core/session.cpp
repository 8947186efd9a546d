#include "core/session.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/little_endian.h"

std::atomic<int> server_stop{0};
std::atomic<int> server_paused{0};
std::atomic<int> listen_socket{-1};

tftp_session* new_session() {
  tftp_session* s = new (std::nothrow) tftp_session{};
  if (!s) return nullptr;
  s->data_socket = -1;
  s->thread = 0;
  clear_upload(&s->own.upload);
  s->refusal_message = -1;
  for (int i = 0; i < NETASCII_RECENT; i++) s->own.text.block_start[i] = -1;
  return s;
}

void free_session(tftp_session* session) { delete session; }

void start_session_timeout(tftp_session* s) { s->own.deadline_ms = monotonic_now_ms() + s->timeout * 1000; }

int session_is_live(const tftp_session* session) {
  return session->data_socket.load() != -1 || session->thread.load() != -1;
}

int32_t shown_result(const tftp_session* s) {
  return s->refusal_message >= 0 ? s->refusal_message : s->result.load(std::memory_order_relaxed);
}

int session_has_started(const tftp_session* session) { return session->thread.load() != 0; }

static uint32_t token(const void* p) { return p ? 1u : 0u; }

void write_session_record(const tftp_session* s, uint8_t out[SESSION_RECORD_SIZE]) {
  memset(out, 0, SESSION_RECORD_SIZE);
  put16(out + 0, s->opcode);
  put32(out + 4, s->block.load(std::memory_order_relaxed));
  put32(out + 8, static_cast<uint32_t>(s->mode));
  put32(out + 12, s->option_flags & RECORD_OPTION_BITS);
  put16(out + 16, s->block_size);
  put32(out + 20, static_cast<uint32_t>(s->file_size.load(std::memory_order_relaxed)));
  put32(out + 24, s->timeout);
  put32(out + 28, static_cast<uint32_t>(s->data_socket.load(std::memory_order_relaxed)));
  put32(out + 32, static_cast<uint32_t>(shown_result(s)));
  put32(out + 36, s->mapped);
  put32(out + 40, token(s->mapping));
  put32(out + 44, token(s->view));
  put32(out + 48, token(s->file));  // changed by the transfer loop only under list_lock
  // Addresses and the client port are kept in network order: copy their bytes.
  // The record holds an IPv4 address only: 0.0.0.0 for an IPv6 client.
  uint32_t client_ip = ipv4_value(s->client_address);
  memcpy(out + 52, &client_ip, 4);
  memcpy(out + 56, &s->multicast_ip, 4);
  memcpy(out + 60, &s->client_port, 2);
  put16(out + 62, s->multicast_port);
  put32(out + 64, s->multicast_master.load(std::memory_order_relaxed));
  int thread = s->thread.load(std::memory_order_acquire);
  put32(out + 68, thread == -1 ? 0xFFFFFFFFu : token(thread > 0 ? s : nullptr));
  put32(out + 72, s->seek_block.load(std::memory_order_relaxed));
  put32(out + 76, static_cast<uint32_t>(s->data_len.load(std::memory_order_relaxed)));
  put32(out + 80, token(s->packet.load(std::memory_order_relaxed)));
  put32(out + 84, static_cast<uint32_t>(s->next_data_len.load(std::memory_order_relaxed)));
  put32(out + 88, token(s->next_packet.load(std::memory_order_relaxed)));
  memcpy(out + 92, s->path, SESSION_PATH_SIZE);
  out[92 + SESSION_PATH_SIZE - 1] = 0;
  memcpy(out + 352, s->error_text, SESSION_ERROR_TEXT_SIZE);
  out[352 + SESSION_ERROR_TEXT_SIZE - 1] = 0;
  put32(out + 480, token(s->next));
}
