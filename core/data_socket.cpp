#include "core/data_socket.h"

#include <cerrno>

#include "core/clock.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/transfer_log.h"
#include "platform/udp_socket.h"

// A receive may end this much after its deadline rather than cost a system
// call per datagram to set the time-out anew.
constexpr uint32_t DEADLINE_SLACK_MS = 10;

void start_wait(packet_wait* wait, uint32_t timeout_ms) { wait->deadline_ms = monotonic_now_ms() + timeout_ms; }

int wait_expired(const packet_wait* wait) { return monotonic_now_ms() >= wait->deadline_ms; }

static void set_session_timeout(tftp_session* s, uint32_t ms) {
  set_receive_timeout(s->data_socket, ms);
  s->own.receive_timeout_ms = ms;
}

long receive_before(tftp_session* s, packet_wait* wait, uint8_t* buffer, size_t size) {
  for (;;) {
    if (s->evicted.load(std::memory_order_relaxed)) return RECEIVE_EVICTED;
    int64_t left = wait->deadline_ms - monotonic_now_ms();
    if (left <= 0) return RECEIVE_TIMEOUT;
    uint32_t want = left > 86400000 ? 86400000u : static_cast<uint32_t>(left);
    if (s->own.receive_timeout_ms < want || s->own.receive_timeout_ms > want + DEADLINE_SLACK_MS)
      set_session_timeout(s, want);
    long n = receive_datagram(s->data_socket, buffer, size);
    if (n >= 0) {
      // A slot taken over wakes the receive with an end of input.
      if (s->evicted.load(std::memory_order_relaxed)) return RECEIVE_EVICTED;
      return n;
    }
    if (n != SOCKET_TIMEOUT) return RECEIVE_FAILED;
  }
}

long receive_waiting(tftp_session* s, uint8_t* buffer, size_t size) {
  if (s->evicted.load(std::memory_order_relaxed)) return RECEIVE_EVICTED;
  long n = receive_waiting_datagram(s->data_socket, buffer, size);
  if (n >= 0 && s->evicted.load(std::memory_order_relaxed)) return RECEIVE_EVICTED;
  if (n >= 0) return n;
  if (n == SOCKET_TIMEOUT) return RECEIVE_TIMEOUT;
  return RECEIVE_FAILED;
}

void take_error_text(tftp_session* s, const uint8_t* packet, size_t length) {
  unsigned code = length >= 4 ? static_cast<unsigned>(packet[2] << 8 | packet[3]) : 0;
  size_t n = 0;
  while (4 + n < length && n < 116 && packet[4 + n] != 0) n++;
  set_error_text(s, "%u %.*s", code, static_cast<int>(n), reinterpret_cast<const char*>(packet + 4));
}

void send_ack(uint32_t number, int socket) {
  uint8_t packet[4] = {0, OPCODE_ACK, static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
  send_datagram(socket, packet, sizeof packet);
  log_line(3, 0, " TFTP  ack %u sent\n", number & 0xFFFFu);
}

void send_session_error(tftp_session* s, int code, int message_index) {
  uint8_t packet[ERROR_PACKET_SIZE];
  send_datagram(s->data_socket, packet, build_error_packet(code, message_index, packet));
}
