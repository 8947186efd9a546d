// Taking the client's ACKs of a read from its data socket.
#include "core/ack_wait.h"

#include "core/data_socket.h"
#include "core/session.h"
#include "core/transfer_log.h"

constexpr size_t ACK_BUFFER_SIZE = 256;

// Takes one datagram that has arrived (wait nullptr: only one that is
// waiting already) and tells what it is.
static int take_ack_packet(tftp_session* s, packet_wait* wait, uint32_t* number) {
  uint8_t packet[ACK_BUFFER_SIZE];
  for (;;) {
    long n = wait ? receive_before(s, wait, packet, sizeof packet) : receive_waiting(s, packet, sizeof packet);
    if (n == RECEIVE_TIMEOUT) return ACK_NONE;
    if (n == RECEIVE_EVICTED) {
      log_line(2, 0, " TFTP  silent client, slot taken over\n");
      return ACK_FAILED;
    }
    if (n < 0) return ACK_FAILED;
    if (n < 4 || static_cast<size_t>(n) > sizeof packet) continue;
    unsigned opcode = static_cast<unsigned>(packet[0] << 8 | packet[1]);
    if (opcode == OPCODE_ERROR) {
      take_error_text(s, packet, static_cast<size_t>(n));
      log_line(2, 0, " TFTP  error %s\n", s->error_text);
      return ACK_ERROR;
    }
    if (opcode != OPCODE_ACK) continue;
    *number = static_cast<uint32_t>(packet[2] << 8 | packet[3]);
    return ACK_TAKEN;
  }
}

int next_ack_packet(tftp_session* s, packet_wait* wait, uint32_t* number) {
  return take_ack_packet(s, wait, number);
}

int waiting_ack_packet(tftp_session* s, uint32_t* number) { return take_ack_packet(s, nullptr, number); }
