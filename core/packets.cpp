#include "core/packets.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/session.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "platform/udp_socket.h"
#include "core/wire_string.h"

const char* const error_texts[ERROR_TEXT_COUNT] = {
    "unspecified Error",
    "File not found",
    "Acess violation",
    "Disk full or allocation exceeded",
    "Illegal TFTP operation",
    "Unknown transfer ID",
    "File already exists",
    "No such user",
    "Invalid Option",
    "",
    "Bad tftp packet",
    "Invalid path",
    "Path too long",
    "Access denied",
    "Invalid or unsupported mode",
    "Bad blksize option",
    "Bad timeout option",
    "Bad tsize option",
    "Bad multicast option",
    "Create file failed, disk full or allocation exceeded?",
    "Data port setup failed",
    "Resource problem on server",
};

const char* const mode_names[4] = {"", "mail ", "ascii", "octet"};
const char* const request_kinds[3] = {"", "Get", "Put"};

int read_decimal(const char* text, size_t length, uint32_t* out) {
  size_t i = 0;
  while (i < length && isspace(static_cast<unsigned char>(text[i]))) i++;
  if (i == length || !isdigit(static_cast<unsigned char>(text[i]))) return 0;
  // Numbers beyond 32 bits saturate rather than wrap to a small value.
  uint64_t value = 0;
  for (; i < length && isdigit(static_cast<unsigned char>(text[i])); i++) {
    value = value * 10u + static_cast<uint64_t>(text[i] - '0');
    if (value > UINT32_MAX) value = UINT32_MAX;
  }
  *out = static_cast<uint32_t>(value);
  return 1;
}

static int refuse(tftp_session* session, int message_index) {
  session->result = message_index;
  return 8;
}

int parse_options(const char* options, int length, tftp_session* session) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(options);
  size_t end = length > 0 ? static_cast<size_t>(length) : 0;
  size_t at = 0;
  uint32_t enabled = Options;
  while (at < end) {
    wire_string name;
    size_t value_at;
    int named = read_wire_string(bytes, end, at, &name, &value_at);
    log_line(4, 0, " TFTP len %u, option %.*s\n", static_cast<unsigned>(end - at),
             static_cast<int>(named ? name.length : end - at), options + at);
    // A name without its zero byte, or without a value after it, is skipped.
    if (!named || value_at >= end) break;
    wire_string value;
    size_t next;
    if (!read_wire_string(bytes, end, value_at, &value, &next)) {
      // A last value without its zero byte ends with the datagram.
      value.text = options + value_at;
      value.length = end - value_at;
      next = end;
    }
    uint32_t number;
    if ((enabled & OPT_BLKSIZE) && wire_string_is(&name, "blksize")) {
      // A block must hold at least 8 bytes and fit one UDP datagram; the
      // whole number is judged, so 65544 is a large block, not 8.
      if (!read_decimal(value.text, value.length, &number) || number < BLKSIZE_MIN)
        return refuse(session, MSG_BAD_BLKSIZE);
      session->block_size = number > BLKSIZE_MAX ? BLKSIZE_MAX : static_cast<uint16_t>(number);
      session->option_flags |= OPT_BLKSIZE;
    } else if ((enabled & OPT_TIMEOUT) && wire_string_is(&name, "timeout")) {
      if (!read_decimal(value.text, value.length, &number) || number < TIMEOUT_MIN || number > TIMEOUT_MAX)
        return refuse(session, MSG_BAD_TIMEOUT);
      session->timeout = number;
      session->option_flags |= OPT_TIMEOUT;
    } else if ((enabled & OPT_TSIZE) && wire_string_is(&name, "tsize")) {
      if (!read_decimal(value.text, value.length, &number)) return refuse(session, MSG_BAD_TSIZE);
      session->file_size = number;
      session->option_flags |= OPT_TSIZE;
    } else if (Multicast != 0 && wire_string_is(&name, "multicast")) {
      if (session->opcode != OPCODE_RRQ || value.length != 0) return refuse(session, MSG_BAD_MULTICAST);
      session->option_flags |= OPT_MULTICAST;
    }
    log_line(4, 0, " TFTP len %u, optarg %.*s\n", static_cast<unsigned>(end - value_at),
             static_cast<int>(value.length), value.text);
    at = next;
  }
  return -1;
}

static size_t put_option(uint8_t* out, size_t at, const char* name, const char* value) {
  size_t n = strlen(name) + 1;
  memcpy(out + at, name, n);
  at += n;
  n = strlen(value) + 1;
  memcpy(out + at, value, n);
  return at + n;
}

size_t build_oack(const tftp_session* s, uint8_t* out) {
  char value[40];
  size_t at = 0;
  out[at++] = 0;
  out[at++] = OPCODE_OACK;
  if (s->option_flags & OPT_BLKSIZE) {
    snprintf(value, sizeof value, "%u", s->block_size);
    at = put_option(out, at, "blksize", value);
  }
  if (s->option_flags & OPT_TIMEOUT) {
    snprintf(value, sizeof value, "%u", s->timeout);
    at = put_option(out, at, "timeout", value);
  }
  if (s->option_flags & OPT_TSIZE) {
    snprintf(value, sizeof value, "%llu", static_cast<unsigned long long>(s->file_size.load()));
    at = put_option(out, at, "tsize", value);
  }
  if (s->option_flags & OPT_MULTICAST) {
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(&s->multicast_ip);
    snprintf(value, sizeof value, "%u.%u.%u.%u,%u,%u", ip[0], ip[1], ip[2], ip[3], s->multicast_port,
             s->multicast_master.load());
    at = put_option(out, at, "multicast", value);
  }
  return at;
}

size_t send_oack(tftp_session* s) {
  uint8_t packet[OACK_BUFFER_SIZE];
  size_t length = build_oack(s, packet);
  send_datagram(s->data_socket, packet, length);
  if (Log >= 2) {
    char summary[160];
    int n = 0;
    if (s->option_flags & OPT_BLKSIZE) n += snprintf(summary + n, sizeof summary - n, " blksize %u", s->block_size);
    if (s->option_flags & OPT_TIMEOUT) n += snprintf(summary + n, sizeof summary - n, " timeout %u", s->timeout);
    if (s->option_flags & OPT_TSIZE)
      n += snprintf(summary + n, sizeof summary - n, " tsize %llu",
                    static_cast<unsigned long long>(s->file_size.load()));
    summary[n] = 0;
    if (s->option_flags & OPT_MULTICAST) {
      char group[16];
      snprintf(summary + n, sizeof summary - n, " multicast %s,%u,%u", format_ipv4(s->multicast_ip, group),
               s->multicast_port, s->multicast_master.load());
    }
    log_line(2, 0, " TFTP  Oack sent%s\n", summary);
  }
  return length;
}

size_t build_error_packet(int code, int message_index, uint8_t* out) {
  const char* text = error_texts[message_index >= 0 && message_index < ERROR_TEXT_COUNT ? message_index : 0];
  size_t text_length = strlen(text);
  out[0] = 0;
  out[1] = OPCODE_ERROR;
  out[2] = static_cast<uint8_t>(code >> 8);
  out[3] = static_cast<uint8_t>(code);
  memcpy(out + 4, text, text_length + 1);
  return text_length + 5;
}

void send_error_packet(int code, int message_index, int socket, uint32_t address, uint16_t port) {
  uint8_t packet[ERROR_PACKET_SIZE];
  size_t length = build_error_packet(code, message_index, packet);
  send_datagram_to(socket, packet, length, address, port);
}
