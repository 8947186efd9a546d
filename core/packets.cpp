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
  session->refusal_message = message_index;
  return TFTP_ERROR_OPTION;
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
      // Above the cap the client gets the cap: a block that fits the path's
      // MTU is never cut into IP fragments that boot firmware may not join.
      uint32_t cap = negotiated_blksize_cap();
      session->block_size = static_cast<uint16_t>(number > cap ? cap : number);
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
    } else if (Multicast != 0 && session->client_address.family != IP_V6 && wire_string_is(&name, "multicast")) {
      // Groups are IPv4 only: an IPv6 client is served as if it had not asked.
      if (session->opcode != OPCODE_RRQ || value.length != 0) return refuse(session, MSG_BAD_MULTICAST);
      session->option_flags |= OPT_MULTICAST;
    } else if (WindowsizeMax != 0 && wire_string_is(&name, "windowsize")) {
      // A value outside 1..65535 leaves the request as if it had not asked.
      if (read_decimal(value.text, value.length, &number) && number >= 1 && number <= WINDOWSIZE_LIMIT) {
        uint32_t most = WindowsizeMax;
        session->window_size = number < most ? number : most;
        session->option_flags |= OPT_WINDOWSIZE;
      } else {
        session->option_flags &= ~static_cast<uint32_t>(OPT_WINDOWSIZE);
      }
    }
    log_line(4, 0, " TFTP len %u, optarg %.*s\n", static_cast<unsigned>(end - value_at),
             static_cast<int>(value.length), value.text);
    at = next;
  }
  return REQUEST_ACCEPTED;
}

static size_t put_option(uint8_t* out, size_t at, const char* name, const char* value) {
  size_t n = strlen(name) + 1;
  memcpy(out + at, name, n);
  at += n;
  n = strlen(value) + 1;
  memcpy(out + at, value, n);
  return at + n;
}

int accepted_options(const tftp_session* s, option_text out[OPTION_COUNT]) {
  int n = 0;
  auto add = [&](const char* name, const char* format, auto... values) {
    out[n].name = name;
    snprintf(out[n].value, sizeof out[n].value, format, values...);
    n++;
  };
  uint32_t flags = s->option_flags;
  if (flags & OPT_BLKSIZE) add("blksize", "%u", s->block_size);
  if (flags & OPT_TIMEOUT) add("timeout", "%u", s->timeout);
  if (flags & OPT_TSIZE) add("tsize", "%llu", static_cast<unsigned long long>(s->file_size.load()));
  if (flags & OPT_MULTICAST) {
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(&s->multicast_ip);
    add("multicast", "%u.%u.%u.%u,%u,%u", ip[0], ip[1], ip[2], ip[3], s->multicast_port, s->multicast_master.load());
  }
  if (flags & OPT_WINDOWSIZE) add("windowsize", "%u", s->window_size);
  return n;
}

size_t build_oack(const tftp_session* s, uint8_t* out) {
  option_text options[OPTION_COUNT];
  int count = accepted_options(s, options);
  size_t at = 0;
  out[at++] = 0;
  out[at++] = OPCODE_OACK;
  for (int i = 0; i < count; i++) at = put_option(out, at, options[i].name, options[i].value);
  return at;
}

size_t send_oack(tftp_session* s) {
  uint8_t packet[OACK_BUFFER_SIZE];
  size_t length = build_oack(s, packet);
  send_datagram(s->data_socket, packet, length);
  if (Log >= 2) {
    option_text options[OPTION_COUNT];
    int count = accepted_options(s, options);
    char summary[OPTION_COUNT * (sizeof options[0].value + 12)];
    size_t n = 0;
    summary[0] = 0;
    for (int i = 0; i < count && n < sizeof summary; i++)
      n += static_cast<size_t>(snprintf(summary + n, sizeof summary - n, " %s %s", options[i].name, options[i].value));
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

void send_error_packet(int code, int message_index, int socket, const ip_address& address, uint16_t port,
                       const ip_address& from) {
  uint8_t packet[ERROR_PACKET_SIZE];
  size_t length = build_error_packet(code, message_index, packet);
  send_datagram_from(socket, packet, length, address, port, from);
}
