// The local file of a transfer, buffered, with the netascii translation of a
// text file: a GET writes each LF as CR LF; a PUT reads CR LF as LF and ends
// at the byte 0x1A.
#include "client/local_file.h"

#include <algorithm>
#include <cstring>

#include "platform/plain_file.h"

namespace {

constexpr unsigned char CHAR_CR = '\r';
constexpr unsigned char CHAR_LF = '\n';
constexpr unsigned char CHAR_END_OF_TEXT = 0x1A;

void attach(local_file& file, int fd, int text, unsigned char* buffer, std::size_t capacity) {
  file = local_file{};
  file.fd = fd;
  file.text = text;
  file.buffer = buffer;
  file.capacity = capacity;
}

int write_all(local_file& file, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    long n = write_plain_file(file.fd, data, length);
    if (n <= 0) {
      file.failed = 1;
      return 0;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return 1;
}

int flush(local_file& file) {
  if (!file.writing) {
    file.start = file.fill = 0;  // a reader drops what it held
    return !file.failed;
  }
  if (file.fill == 0) return !file.failed;
  int ok = write_all(file, file.buffer, file.fill);
  file.fill = 0;
  return ok;
}

// Reading: refills the buffer; returns the bytes now held, 0 at the end.
std::size_t refill(local_file& file) {
  file.start = 0;
  file.fill = 0;
  for (;;) {
    long n = read_plain_file(file.fd, file.buffer, file.capacity);
    if (n < 0) file.failed = 1;
    if (n <= 0) return 0;
    file.fill = static_cast<std::size_t>(n);
    return file.fill;
  }
}

}  // namespace

int local_file_create(local_file& file, const char* path, int overwrite, int text,
                      unsigned char* buffer, std::size_t capacity) {
  attach(file, -1, text, buffer, capacity);
  // An empty name would fail only at the rename, after the whole transfer.
  if (path[0] == 0) return LOCAL_FILE_FAILED;
  int kind = plain_path_kind(path);
  if (kind != PLAIN_PATH_ABSENT && !overwrite) return LOCAL_FILE_EXISTS;
  int fd = -1;
  if (kind == PLAIN_PATH_OTHER) {
    // A device such as /dev/null takes the bytes itself; a directory fails here.
    int exists = 0;
    fd = create_plain_file(path, 1, &exists);
  } else {
    fd = create_temporary_plain_file(path, file.temporary.data(), file.temporary.size());
  }
  if (fd < 0) return LOCAL_FILE_FAILED;
  file.fd = fd;
  file.writing = 1;
  return LOCAL_FILE_OK;
}

int local_file_commit(local_file& file, const char* path, int overwrite) {
  if (file.fd < 0) return LOCAL_FILE_FAILED;
  if (file.temporary[0] == 0) return local_file_close(file) ? LOCAL_FILE_OK : LOCAL_FILE_FAILED;
  int ok = flush(file) && !file.failed && set_new_file_mode(file.fd);
  if (!close_plain_file(file.fd)) ok = 0;
  file.fd = -1;
  int renamed = ok ? rename_plain_file(file.temporary.data(), path, overwrite) : PLAIN_RENAME_FAILED;
  if (renamed != PLAIN_RENAME_DONE) remove_plain_file(file.temporary.data());
  file.temporary[0] = 0;
  if (renamed == PLAIN_RENAME_EXISTS) return LOCAL_FILE_EXISTS;
  return renamed == PLAIN_RENAME_DONE ? LOCAL_FILE_OK : LOCAL_FILE_FAILED;
}

void local_file_abandon(local_file& file) {
  if (file.fd >= 0) close_plain_file(file.fd);
  file.fd = -1;
  if (file.temporary[0] != 0) remove_plain_file(file.temporary.data());
  file.temporary[0] = 0;
}

int local_file_open_read(local_file& file, const char* path, int text, unsigned char* buffer,
                         std::size_t capacity) {
  int fd = open_plain_file(path);
  attach(file, fd, text, buffer, capacity);
  return fd < 0 ? LOCAL_FILE_FAILED : LOCAL_FILE_OK;
}

int64_t local_file_size(const local_file& file) {
  return plain_file_size(file.fd);
}

int local_file_write(local_file& file, const unsigned char* data, std::size_t length) {
  if (file.fd < 0 || file.failed || !file.writing) return 0;
  if (!file.text) {
    if (file.fill + length > file.capacity) {
      if (!flush(file)) return 0;
      if (length >= file.capacity) return write_all(file, data, length);
    }
    std::memcpy(file.buffer + file.fill, data, length);
    file.fill += length;
    return 1;
  }
  for (std::size_t i = 0; i < length; i++) {
    // Room for two bytes, since an LF grows into CR LF.
    if (file.fill + 2 > file.capacity && !flush(file)) return 0;
    if (data[i] == CHAR_LF) file.buffer[file.fill++] = CHAR_CR;
    file.buffer[file.fill++] = data[i];
  }
  return 1;
}

std::size_t local_file_read(local_file& file, unsigned char* data, std::size_t length) {
  std::size_t produced = 0;
  if (file.fd < 0 || file.writing) return 0;
  while (produced < length && !file.at_end) {
    if (file.start == file.fill && refill(file) == 0) {
      if (file.pending_cr) {
        file.pending_cr = 0;
        data[produced++] = CHAR_CR;
      }
      file.at_end = 1;
      break;
    }
    if (!file.text) {
      std::size_t n = std::min(length - produced, file.fill - file.start);
      std::memcpy(data + produced, file.buffer + file.start, n);
      file.start += n;
      produced += n;
      continue;
    }
    unsigned char c = file.buffer[file.start];
    if (file.pending_cr) {
      // The CR held back at the end of the last look: CR LF becomes LF.
      file.pending_cr = 0;
      if (c == CHAR_LF) {
        file.start++;
        data[produced++] = CHAR_LF;
      } else {
        data[produced++] = CHAR_CR;
      }
      continue;
    }
    if (c == CHAR_END_OF_TEXT) {
      file.at_end = 1;
      break;
    }
    file.start++;
    if (c == CHAR_CR) {
      file.pending_cr = 1;
      continue;
    }
    data[produced++] = c;
  }
  return produced;
}

int local_file_seek(local_file& file, uint64_t offset) {
  if (file.fd < 0 || !flush(file)) return 0;
  file.at_end = 0;
  file.pending_cr = 0;
  if (!seek_plain_file(file.fd, offset)) {
    file.failed = 1;
    return 0;
  }
  return 1;
}

int local_file_close(local_file& file) {
  if (file.fd < 0) return 1;
  int ok = flush(file) && !file.failed;
  if (!close_plain_file(file.fd)) ok = 0;
  file.fd = -1;
  return ok;
}
