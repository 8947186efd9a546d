#include "core/data_socket.h"

#include "core/packets.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/transfer_log.h"
#include "platform/udp_socket.h"

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
