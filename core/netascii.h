// Netascii on the server's files, as text-mode streams translate it:
// reading delivers CR LF as LF and stops at the byte 0x1A; writing stores
// every LF as CR LF. A CR that is not followed by LF passes unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Reads up to `size` translated bytes. *ended is set once 0x1A is met and
// then stays set. Leaves the stream positioned right after the last byte
// consumed, so ftell gives the disk offset of the next translated byte.
size_t netascii_read(FILE* stream, uint8_t* out, size_t size, int* ended);

// Writes data with LF stored as CR LF. Returns 1, or 0 when a write failed.
int netascii_write(FILE* stream, const uint8_t* data, size_t size);
