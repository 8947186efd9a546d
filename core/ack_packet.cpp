#include "core/ack_packet.h"

#include "core/data_socket.h"
#include "core/session.h"
#include "core/transfer_log.h"

int read_ack_packet(tftp_session* s, const uint8_t* packet, size_t length, uint32_t* number) {
  if (length < 4 || length > ACK_PACKET_MAX) return ACK_NONE;
  unsigned opcode = get_u16(packet);
  if (opcode == OPCODE_ERROR) {
    take_error_text(s, packet, length);
    log_line(2, 0, " TFTP  error %s\n", s->error_text);
    return ACK_ERROR;
  }
  if (opcode != OPCODE_ACK) return ACK_NONE;
  *number = get_u16(packet + 2);
  return ACK_TAKEN;
}
