#include "core/request.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>

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

// The part of the path below its base directory, without leading "/".
static const char* relative_path(const tftp_session* s) {
  const char* p = s->path + s->base_length;
  while (*p == '/') p++;
  return p;
}

// The base directory of the session's path, open for resolving beneath it.
static int open_session_base(const tftp_session* s) {
  char base[SESSION_PATH_SIZE];
  memcpy(base, s->path, s->base_length);
  base[s->base_length] = 0;
  return open_base_directory(s->base_length ? base : "/");
}

static int open_for_reading(tftp_session* s) {
  int base = open_session_base(s);
  struct stat st;
  int fd = base >= 0 ? open_file_beneath(base, relative_path(s), &st) : -1;
  int error = errno;
  if (base >= 0) close(base);
  // A link that leads out of the base is refused as a name that does.
  if (fd < 0) return error == EXDEV ? refuse(s, TFTP_ERROR_ILLEGAL, MSG_INVALID_PATH)
                                    : refuse(s, TFTP_ERROR_NOT_FOUND, MSG_FILE_NOT_FOUND);
  s->file_device = st.st_dev;
  s->file_inode = st.st_ino;
  if (s->mode == MODE_OCTET) s->mapped = MMF & ((s->option_flags & OPT_MULTICAST) ? 1u : 2u);
  if (s->mapped) {
    int ok = open_session_view(s, fd, &st);
    close(fd);  // the mapping keeps the file
    if (!ok) {
      s->mapped = 0;
      return refuse(s, TFTP_ERROR_NOT_FOUND, MSG_FILE_NOT_FOUND);
    }
  } else {
    if (s->mode == MODE_NETASCII) s->option_flags &= ~static_cast<uint32_t>(OPT_MULTICAST);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    FILE* file = stream_on_descriptor(fd, "rb");
    if (!file) return refuse(s, TFTP_ERROR_NOT_FOUND, MSG_FILE_NOT_FOUND);
    {
      std::lock_guard<std::mutex> hold(list_lock);  // listed already: the control channel reads the slot
      s->file = file;
    }
    s->file_size = static_cast<uint64_t>(st.st_size);  // the real size replaces the client's tsize
  }
  if (s->option_flags & OPT_MULTICAST) assign_multicast_group(s);
  return -1;
}

static int open_for_writing(tftp_session* s, int overwrite) {
  s->overwrite = overwrite;
  int base = open_session_base(s);
  int ok = base >= 0 && resolve_upload(base, relative_path(s), &s->upload);
  int error = errno;
  if (base >= 0) close(base);
  if (!ok) return error == EXDEV ? refuse(s, TFTP_ERROR_ILLEGAL, MSG_INVALID_PATH)
                                 : refuse(s, TFTP_ERROR_DISK_FULL, MSG_CREATE_FAILED);
  if (!overwrite && s->upload.exists) {
    abandon_upload(&s->upload);
    return refuse(s, TFTP_ERROR_EXISTS, MSG_FILE_EXISTS);
  }
  // The upload fills a new file; the name keeps its old file until the last
  // block is on disk.
  int fd = create_upload_file(&s->upload);
  FILE* file = fd >= 0 ? stream_on_descriptor(fd, "wb") : nullptr;
  if (!file) {
    abandon_upload(&s->upload);
    return refuse(s, TFTP_ERROR_DISK_FULL, MSG_CREATE_FAILED);
  }
  std::lock_guard<std::mutex> hold(list_lock);
  s->file = file;
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
  size_t base_length = 0;
  int refusal = resolve_path(name, s->client_ip, s->opcode, s->path, &overwrite, &base_length);
  s->base_length = static_cast<uint16_t>(base_length);
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
