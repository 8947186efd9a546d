// The progress display of the pelican-tftp program: one line on a terminal,
// redrawn in place with a carriage return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// At most four redraws a second.
constexpr int64_t PROGRESS_REDRAW_MS = 250;

// "512 B", "1.5 KiB", "4.0 GiB": binary units, one decimal above bytes.
std::string byte_size_text(uint64_t bytes);

// "0:07", "1:02:03": whole seconds, rounded up.
std::string duration_text(uint64_t seconds);

// The line for the bytes moved after elapsed_ms: the total and the share
// only when the total is known and not passed; the rate once a millisecond
// has passed; the time left when both are shown.
//   "1.5 MiB / 10.0 MiB  15%  3.2 MiB/s  0:03 left"
std::string progress_line(uint64_t bytes, uint64_t total, int total_known, int64_t elapsed_ms);

// What a redraw writes: a carriage return, the line, and blanks over what
// is left of a longer line drawn before (drawn_width, then updated).
std::string progress_redraw(const std::string& line, std::size_t& drawn_width);
