#include "core/request.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/access_rules.h"
#include "core/file_views.h"
#include "core/multicast.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "core/upload_leftovers.h"
#include "core/wire_string.h"
#include "platform/file_open.h"
#include "platform/path_names.h"

// While no more transfers than this run, an octet stream has a buffer of
// its own, of this size.
constexpr uint32_t STREAM_BUFFERED_TRANSFERS = 64;
constexpr size_t STREAM_BUFFER_SIZE = 65536;

static int refuse(tftp_session* session, int code, int message_index) {
  session->refusal_message = message_index;
  return code;
}

// The part of the path below its base directory, without leading separator.
static const char* relative_path(const tftp_session* s) {
  const char* p = s->path + s->base_length;
  while (*p == path_separator()) p++;
  return p;
}

// The base directory of the session's path, open for resolving beneath it.
static int open_session_base(const tftp_session* s) {
  char base[SESSION_PATH_SIZE];
  memcpy(base, s->path, s->base_length);
  base[s->base_length] = 0;
  const char top[2] = {path_separator(), 0};
  return open_base_directory(s->base_length ? base : top);
}

// A stream buffer spares system calls, but costs memory: a boot storm's
// thousands of readers would each hold one. Beyond a few dozen transfers an
// octet read takes each block straight into its packet; below, one system
// call moves many small blocks (the system's 4 KiB default holds fewer than
// three of 1428 bytes). Large blocks go to and from the file directly anyway.
static void buffer_stream(tftp_session* s, FILE* file) {
  int crowded = active_transfers.load() > STREAM_BUFFERED_TRANSFERS;
  if (crowded && s->opcode == OPCODE_RRQ && s->mode == MODE_OCTET) {
    setvbuf(file, nullptr, _IONBF, 0);
  } else if (!crowded && s->mode == MODE_OCTET && s->block_size <= STREAM_BUFFER_SIZE / 8 &&
             (s->own.stream_buffer = new (std::nothrow) char[STREAM_BUFFER_SIZE])) {
    setvbuf(file, s->own.stream_buffer, _IOFBF, STREAM_BUFFER_SIZE);
  }
}

static int open_for_reading(tftp_session* s) {
  int base = open_session_base(s);
  file_status st;
  int fd = base >= 0 ? open_file_beneath(base, relative_path(s), &st) : -1;
  int error = errno;
  close_file(base);
  // A link that leads out of the base is refused as a name that does.
  if (fd < 0) return error == EXDEV ? refuse(s, TFTP_ERROR_ILLEGAL, MSG_INVALID_PATH)
                                    : refuse(s, TFTP_ERROR_NOT_FOUND, MSG_FILE_NOT_FOUND);
  s->file_device = st.device;
  s->file_inode = st.index;
  if (s->mode == MODE_OCTET) s->mapped = MMF & ((s->option_flags & OPT_MULTICAST) ? 1u : 2u);
  if (s->mapped) {
    int ok = open_session_view(s, fd, &st);
    close_file(fd);  // the mapping keeps the file
    if (!ok) {
      s->mapped = 0;
      return refuse(s, TFTP_ERROR_NOT_FOUND, MSG_FILE_NOT_FOUND);
    }
  } else {
    if (s->mode == MODE_NETASCII) s->option_flags &= ~static_cast<uint32_t>(OPT_MULTICAST);
    advise_sequential(fd);
    FILE* file = stream_on_descriptor(fd, "rb");
    if (!file) return refuse(s, TFTP_ERROR_NOT_FOUND, MSG_FILE_NOT_FOUND);
    buffer_stream(s, file);
    {
      std::lock_guard<std::mutex> hold(list_lock);  // listed already: the control channel reads the slot
      s->file = file;
    }
    s->file_size = st.size;  // the real size replaces the client's tsize
  }
  if (s->option_flags & OPT_MULTICAST) assign_multicast_group(s);
  // A group follows its master's ACKs block by block: no window for it. A
  // read left without its group (netascii, no free port) keeps the window.
  if (s->option_flags & OPT_MULTICAST) s->option_flags &= ~static_cast<uint32_t>(OPT_WINDOWSIZE);
  return REQUEST_ACCEPTED;
}

static int open_for_writing(tftp_session* s, int overwrite) {
  s->own.overwrite = overwrite;
  int base = open_session_base(s);
  int ok = base >= 0 && resolve_upload(base, relative_path(s), &s->own.upload);
  int error = errno;
  close_file(base);
  if (!ok) return error == EXDEV ? refuse(s, TFTP_ERROR_ILLEGAL, MSG_INVALID_PATH)
                                 : refuse(s, TFTP_ERROR_DISK_FULL, MSG_CREATE_FAILED);
  if (!overwrite && s->own.upload.exists) {
    abandon_upload(&s->own.upload);
    return refuse(s, TFTP_ERROR_EXISTS, MSG_FILE_EXISTS);
  }
  // The upload fills a new file; the name keeps its old file until the last
  // block is on disk.
  int fd = create_upload_file(&s->own.upload);
  FILE* file = fd >= 0 ? stream_on_descriptor(fd, "wb") : nullptr;
  if (!file) {
    abandon_upload(&s->own.upload);
    return refuse(s, TFTP_ERROR_DISK_FULL, MSG_CREATE_FAILED);
  }
  buffer_stream(s, file);
  std::lock_guard<std::mutex> hold(list_lock);
  s->file = file;
  return REQUEST_ACCEPTED;
}

static void trace_accepted(const tftp_session* s) {
  if (Log < 2) return;
  char line[512];
  int n = snprintf(line, sizeof line, "%s Name %s Mode %s", request_kinds[s->opcode], s->path, mode_names[s->mode]);
  auto add = [&](const char* format, auto... args) {
    if (n >= 0 && static_cast<size_t>(n) < sizeof line) n += snprintf(line + n, sizeof line - n, format, args...);
  };
  if (s->opcode == OPCODE_RRQ) add(" Size %llu", static_cast<unsigned long long>(s->file_size.load()));
  option_text options[OPTION_COUNT];
  int count = accepted_options(s, options);
  // This line has always named tsize first.
  for (int i = 0; i < count; i++)
    if (strcmp(options[i].name, "tsize") == 0) add(" %s %s", options[i].name, options[i].value);
  for (int i = 0; i < count; i++)
    if (strcmp(options[i].name, "tsize") != 0) add(" %s %s", options[i].name, options[i].value);
  log_line(2, 0, " TFTP %s\n", line);
}

int parse_request(const char* datagram, size_t length, tftp_session* s) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(datagram);
  unsigned opcode = length >= 2 ? (bytes[0] << 8 | bytes[1]) : 0;
  log_line(4, 0, " TFTP len %u req %u\n", static_cast<unsigned>(length), opcode);
  if (length <= 2 || (opcode != OPCODE_RRQ && opcode != OPCODE_WRQ))
    return refuse(s, TFTP_ERROR_ILLEGAL, MSG_BAD_PACKET);
  if (opcode == OPCODE_WRQ && Upload == 0) return refuse(s, TFTP_ERROR_ILLEGAL, MSG_ILLEGAL_OPERATION);
  s->opcode = static_cast<uint16_t>(opcode);

  wire_string name;
  size_t mode_at;
  int named = read_wire_string(bytes, length, 2, &name, &mode_at);
  log_line(4, 0, " TFTP len %u file %.*s\n", static_cast<unsigned>(length - 2),
           static_cast<int>(named ? name.length : length - 2), datagram + 2);
  if (!named) return refuse(s, TFTP_ERROR_ILLEGAL, MSG_INVALID_PATH);

  // Resolving works on a zero-terminated copy that holds any name a request
  // buffer can carry, so that its content is judged before its length.
  char name_text[REQUEST_BUFFER_SIZE];
  if (name.length >= sizeof name_text) return refuse(s, TFTP_ERROR_ILLEGAL, MSG_PATH_TOO_LONG);
  memcpy(name_text, name.text, name.length);
  name_text[name.length] = 0;
  int overwrite = 1;
  size_t base_length = 0;
  int refusal = resolve_path(name_text, s->client_address, s->opcode, s->path, &overwrite, &base_length);
  s->base_length = static_cast<uint16_t>(base_length);
  if (refusal != PATH_OK) return refuse(s, TFTP_ERROR_ILLEGAL, refusal);
  // The server's temporary upload files are no client's to read or write:
  // refused as an access rule refuses.
  if (is_reserved_upload_name(s->path)) return refuse(s, TFTP_ERROR_ILLEGAL, PATH_DENIED);

  // The mode follows the name as received, whatever resolving did to it.
  wire_string mode;
  size_t options_at;
  if (!read_wire_string(bytes, length, mode_at, &mode, &options_at))
    return refuse(s, TFTP_ERROR_ILLEGAL, MSG_BAD_PACKET);
  s->mode = wire_string_is(&mode, "mail")       ? MODE_MAIL
            : wire_string_is(&mode, "netascii") ? MODE_NETASCII
            : wire_string_is(&mode, "octet")    ? MODE_OCTET
                                                : MODE_NONE;
  log_line(4, 0, " TFTP len %u mode %u\n", static_cast<unsigned>(length - mode_at), static_cast<unsigned>(s->mode));
  if (s->mode == MODE_NONE || s->mode == MODE_MAIL) return refuse(s, TFTP_ERROR_ILLEGAL, MSG_BAD_MODE);

  s->block_size = 512;
  s->file_size = 0;
  s->timeout = Timeout;
  if (options_at < length) {
    int code = parse_options(datagram + options_at, static_cast<int>(length - options_at), s);
    if (code != REQUEST_ACCEPTED) return code;
  }

  int code = s->opcode == OPCODE_RRQ ? open_for_reading(s) : open_for_writing(s, overwrite);
  trace_accepted(s);
  return code;
}
