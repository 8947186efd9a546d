#include "core/request.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "core/access_rules.h"
#include "core/file_views.h"
#include "core/multicast.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/transfer_log.h"
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

int parse_request(char* datagram, size_t length, tftp_session* s) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(datagram);
  unsigned opcode = length >= 2 ? (bytes[0] << 8 | bytes[1]) : 0;
  log_line(4, 0, " TFTP len %u req %u\n", static_cast<unsigned>(length), opcode);
  if (length <= 2 || (opcode != OPCODE_RRQ && opcode != OPCODE_WRQ)) return refuse(s, 4, 10);
  if (opcode == OPCODE_WRQ && Upload == 0) return refuse(s, 4, 4);
  s->opcode = static_cast<uint16_t>(opcode);

  char* name = datagram + 2;
  int left = static_cast<int>(length) - 2;
  int name_size = static_cast<int>(strlen(name)) + 1;
  log_line(4, 0, " TFTP len %u file %s\n", static_cast<unsigned>(left), name);
  if (name_size > left) return refuse(s, 4, 11);

  int overwrite = 1;
  int refusal = resolve_path(name, s->client_ip, s->opcode, s->path, &overwrite);
  if (refusal != PATH_OK) return refuse(s, 4, refusal);

  // The mode follows the name as received, whatever resolving did to it.
  const char* mode = datagram + 2 + name_size;
  left -= name_size;
  int mode_size = static_cast<int>(strlen(mode)) + 1;
  if (mode_size > left) return refuse(s, 4, 10);
  s->mode = strcasecmp(mode, "mail") == 0       ? MODE_MAIL
            : strcasecmp(mode, "netascii") == 0 ? MODE_NETASCII
            : strcasecmp(mode, "octet") == 0    ? MODE_OCTET
                                                : MODE_NONE;
  log_line(4, 0, " TFTP len %u mode %u\n", static_cast<unsigned>(left), static_cast<unsigned>(s->mode));
  left -= mode_size;
  if (s->mode == MODE_NONE || s->mode == MODE_MAIL) return refuse(s, 4, 14);

  s->block_size = 512;
  s->file_size = 0;
  s->timeout = Timeout;
  if (left > 0) {
    int code = parse_options(mode + mode_size, left, s);
    if (code >= 0) return code;
  }

  int code = s->opcode == OPCODE_RRQ ? open_for_reading(s) : open_for_writing(s, overwrite);
  trace_accepted(s);
  return code;
}
