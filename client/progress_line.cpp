// Text of the progress display; the program decides when to draw it.
#include "client/progress_line.h"

#include <array>
#include <cstdio>

std::string byte_size_text(uint64_t bytes) {
  static constexpr std::array<const char*, 6> units = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  std::array<char, 32> text{};
  if (bytes < 1024) {
    std::snprintf(text.data(), text.size(), "%llu B", static_cast<unsigned long long>(bytes));
    return text.data();
  }
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  // 1023.96 KiB would print as "1024.0 KiB": move on once it rounds up.
  while (value >= 1023.95 && unit + 1 < units.size()) {
    value /= 1024.0;
    unit++;
  }
  std::snprintf(text.data(), text.size(), "%.1f %s", value, units[unit]);
  return text.data();
}

std::string duration_text(uint64_t seconds) {
  std::array<char, 32> text{};
  unsigned long long h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  if (h > 0) {
    std::snprintf(text.data(), text.size(), "%llu:%02llu:%02llu", h, m, s);
  } else {
    std::snprintf(text.data(), text.size(), "%llu:%02llu", m, s);
  }
  return text.data();
}

std::string progress_line(uint64_t bytes, uint64_t total, int total_known, int64_t elapsed_ms) {
  // A size that the transfer has passed (a pipe, a file that grew) is no total.
  bool with_total = total_known && bytes <= total;
  std::string line = byte_size_text(bytes);
  if (with_total) {
    line += " / " + byte_size_text(total);
    std::array<char, 16> share{};
    unsigned percent = total == 0 ? 100u
                                  : static_cast<unsigned>(static_cast<double>(bytes) * 100.0 /
                                                          static_cast<double>(total));
    std::snprintf(share.data(), share.size(), "  %u%%", percent);
    line += share.data();
  }
  if (elapsed_ms > 0) {
    double rate = static_cast<double>(bytes) * 1000.0 / static_cast<double>(elapsed_ms);
    line += "  " + byte_size_text(static_cast<uint64_t>(rate)) + "/s";
    if (with_total && rate >= 1.0) {
      double left = static_cast<double>(total - bytes) / rate;
      uint64_t seconds = static_cast<uint64_t>(left);
      if (static_cast<double>(seconds) < left) seconds++;
      line += "  " + duration_text(seconds) + " left";
    }
  }
  return line;
}

std::string progress_redraw(const std::string& line, std::size_t& drawn_width) {
  std::string out = "\r" + line;
  if (line.size() < drawn_width) out.append(drawn_width - line.size(), ' ');
  drawn_width = line.size();
  return out;
}
