// One byte from a stream the calling thread alone reads, without taking the
// stream's lock each time (inline: it runs once per byte of a netascii read).
#pragma once

#include <cstdio>

inline int stream_byte(FILE* stream) { return getc_unlocked(stream); }
