// The DATA packets of a read, loaded block by block.
#pragma once

#include <cstdint>

struct tftp_session;

// The file index of a block count: with LargeFiles 0 the data starts again
// at offset 0 after index 65535, as block numbers do.
uint32_t block_index(uint32_t block);

enum { LOAD_BEYOND_END = -1, LOAD_FAILED = -2 };

// Fills buffer with the DATA packet of block `index`; returns the payload
// length, LOAD_BEYOND_END when index lies beyond the end of the file, or
// LOAD_FAILED when the file cannot be read (an I/O error, or a file cut
// short since it was opened). Moves the session's read position only.
int load_block(tftp_session* session, uint8_t* buffer, uint32_t index);

// Ends a read whose file cannot be read at block index `index`: the client
// gets an ERROR rather than a short file that looks complete. Returns
// RESULT_FAILED.
int read_failed(tftp_session* session, uint32_t index);
