#include "core/request.h"

#include <cstdio>
#include <cstring>

#include "core/access_rules.h"
#include "core/file_views.h"
#include "core/multicast.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "core/wire_string.h"
#include "platform/file_open.h"

static int refuse(tftp_session* session, int code, int message_index) {
  session->result = message_index;
  return code;
}

static int open_for_reading(tftp_session* s) {
  if (s->mode == MODE_OCTET) s->mapped = MMF & ((s->option_flags & OPT_MULTICAST) ? 1u : 2u);
  if (s->mapped) {
    if (!share_mapping(s) && !open_session_mapping(s)) {
      s->mapped = 0;
      return refuse(s, 1, 1);
    }
  } else {
    if (s->mode == MODE_NETASCII) s->option_flags &= ~static_cast<uint32_t>(OPT_MULTICAST);
    uint64_t size = 0;
    s->file = open_read_stream(s->path, &size);
    if (!s->file) return refuse(s, 1, 1);
    s->file_size = size;  // the real size replaces the client's tsize
  }
  if (s->option_flags & OPT_MULTICAST) assign_multicast_group(s);
  return -1;
}

static int open_for_writing(tftp_session* s, int overwrite) {
  if (!overwrite && file_exists(s->path)) return refuse(s, 6, 6);
  s->file = open_write_stream(s->path, &s->created_file);
  if (!s->file) return refuse(s, 3, 19);
  return -1;
}

static void trace_accepted(const tftp_session* s) {
  if (Log < 2) return;
  char line[512];
  int n = snprintf(line, sizeof line, "%s Name %s Mode %s", request_kinds[s->opcode], s->path, mode_names[s->mode]);
  auto add = [&](const char* format, auto... args) {
    if (n >= 0 && static_cast<size_t>(n) < sizeof line) n += snprintf(line + n, sizeof line - n, format, args...);
  };
  if (s->opcode == OPCODE_RRQ) add(" Size %llu", static_cast<unsigned long long>(s->file_size.load()));
  if (s->option_flags & OPT_TSIZE) add(" tsize %llu", static_cast<unsigned long long>(s->file_size.load()));
  if (s->option_flags & OPT_BLKSIZE) add(" blksize %u", s->block_size);
  if (s->option_flags & OPT_TIMEOUT) add(" timeout %u", s->timeout);
  if (s->option_flags & OPT_MULTICAST) {
    char group[16];
    add(" multicast %s,%u,%u", format_ipv4(s->multicast_ip, group), s->multicast_port, s->multicast_master.load());
  }
  log_line(2, 0, " TFTP %s\n", line);
}

int parse_request(const char* datagram, size_t length, tftp_session* s) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(datagram);
  unsigned opcode = length >= 2 ? (bytes[0] << 8 | bytes[1]) : 0;
  log_line(4, 0, " TFTP len %u req %u\n", static_cast<unsigned>(length), opcode);
  if (length <= 2 || (opcode != OPCODE_RRQ && opcode != OPCODE_WRQ)) return refuse(s, 4, 10);
  if (opcode == OPCODE_WRQ && Upload == 0) return refuse(s, 4, 4);
  s->opcode = static_cast<uint16_t>(opcode);

  wire_string name;
  size_t mode_at;
  int named = read_wire_string(bytes, length, 2, &name, &mode_at);
  log_line(4, 0, " TFTP len %u file %.*s\n", static_cast<unsigned>(length - 2),
           static_cast<int>(named ? name.length : length - 2), datagram + 2);
  if (!named) return refuse(s, 4, 11);

  // Resolving works on a zero-terminated copy that holds any name a request
  // buffer can carry, so that its content is judged before its length.
  char name_text[REQUEST_BUFFER_SIZE];
  if (name.length >= sizeof name_text) return refuse(s, 4, PATH_TOO_LONG);
  memcpy(name_text, name.text, name.length);
  name_text[name.length] = 0;
  int overwrite = 1;
  int refusal = resolve_path(name_text, s->client_ip, s->opcode, s->path, &overwrite);
  if (refusal != PATH_OK) return refuse(s, 4, refusal);

  // The mode follows the name as received, whatever resolving did to it.
  wire_string mode;
  size_t options_at;
  if (!read_wire_string(bytes, length, mode_at, &mode, &options_at)) return refuse(s, 4, 10);
  s->mode = wire_string_is(&mode, "mail")       ? MODE_MAIL
            : wire_string_is(&mode, "netascii") ? MODE_NETASCII
            : wire_string_is(&mode, "octet")    ? MODE_OCTET
                                                : MODE_NONE;
  log_line(4, 0, " TFTP len %u mode %u\n", static_cast<unsigned>(length - mode_at), static_cast<unsigned>(s->mode));
  if (s->mode == MODE_NONE || s->mode == MODE_MAIL) return refuse(s, 4, 14);

  s->block_size = 512;
  s->file_size = 0;
  s->timeout = Timeout;
  if (options_at < length) {
    int code = parse_options(datagram + options_at, static_cast<int>(length - options_at), s);
    if (code >= 0) return code;
  }

  int code = s->opcode == OPCODE_RRQ ? open_for_reading(s) : open_for_writing(s, overwrite);
  trace_accepted(s);
  return code;
}
