#include "core/netascii.h"

#include <cstring>

// From the backend's own directory: the one header the build picks by platform.
#include "stream_byte.h"

size_t netascii_read(FILE* stream, uint8_t* out, size_t size, int* ended) {
  size_t n = 0;
  if (*ended) return 0;
  while (n < size) {
    int c = stream_byte(stream);
    if (c == EOF) break;
    if (c == 0x1A) {
      *ended = 1;
      break;
    }
    if (c == '\r') {
      int next = stream_byte(stream);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        ungetc(next, stream);
      }
    }
    out[n++] = static_cast<uint8_t>(c);
  }
  return n;
}

int netascii_write(FILE* stream, const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  while (p < end) {
    const uint8_t* lf = static_cast<const uint8_t*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    size_t run = static_cast<size_t>((lf ? lf : end) - p);
    if (run && fwrite(p, 1, run, stream) != run) return 0;
    if (!lf) break;
    if (fwrite("\r\n", 1, 2, stream) != 2) return 0;
    p = lf + 1;
  }
  return 1;
}
