// Splitting a command line into arguments and reading them.
#include "client/command_line.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/ip_address.h"

namespace {

char program_name[] = "tftp";

// White space of the C locale, independent of the host program's locale.
bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Copies text into a fixed field, cut to fit and always terminated.
template <std::size_t N>
void copy_field(std::array<char, N>& field, std::string_view text) {
  std::size_t n = std::min(text.size(), N - 1);
  std::memcpy(field.data(), text.data(), n);
  field[n] = 0;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); i++) {
    char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace

uint32_t parse_decimal(std::string_view text) {
  // Saturates instead of wrapping, so that a huge value stays huge.
  uint64_t value = 0;
  for (char c : text) {
    if (!is_digit(c)) break;
    value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(c - '0'), UINT32_MAX);
  }
  return static_cast<uint32_t>(value);
}

int parse_unsigned(std::string_view text, uint64_t& value) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) i++;
  if (i == text.size() || !is_digit(text[i])) return 0;
  value = 0;
  constexpr uint64_t limit = UINT64_MAX / 10 - 9;
  for (; i < text.size() && is_digit(text[i]); i++) {
    value = value > limit ? UINT64_MAX : value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  return 1;
}

void split_command_line(const char* line, argument_vector& out) {
  out.text.fill(0);
  out.vector.fill(nullptr);
  if (line) {
    std::size_t n = strnlen(line, COMMAND_LINE_SIZE - 1);
    std::memcpy(out.text.data(), line, n);
  }
  out.vector[0] = program_name;
  out.count = 1;
  bool in_argument = false;
  bool in_quotes = false;
  for (std::size_t i = 0; i < COMMAND_LINE_SIZE - 1 && out.text[i] != 0; i++) {
    char c = out.text[i];
    if (!in_argument) {
      if (c == '"' && !in_quotes) {
        in_quotes = true;
        continue;
      }
      if (!in_quotes && is_blank(c)) continue;
      // Right after an opening quote anything begins the argument, even a
      // blank or the closing quote of an empty argument.
      out.vector[out.count++] = &out.text[i];
      in_argument = true;
      if (out.count == COMMAND_ARGS_MAX) break;  // the rest stays with the last one
    }
    if (c == '"') {
      // A closing quote ends the argument; what follows up to white space is dropped.
      out.text[i] = 0;
      in_quotes = false;
    } else if (!in_quotes && is_blank(c)) {
      out.text[i] = 0;
      in_argument = false;
    }
  }
}

int parse_client_args(int count, char* const* vector, client_transfer& transfer,
                      client_settings& settings) {
  int i = 1;
  for (; i < count; i++) {
    std::string_view arg(vector[i]);
    if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) break;
    char letter = arg.size() > 1 ? arg[1] : 0;
    uint32_t n = parse_decimal(arg.size() > 2 ? arg.substr(2) : std::string_view());
    switch (letter) {
      case 'a':
        transfer.mode = MODE_NETASCII;
        break;
      case 'b':
        // The value is a packet size. Block sizes up to 512 need no option;
        // 513..516 would give a block below 512 that the server never hears of.
        if (n > PACKET_SIZE_MIN) transfer.block_size = std::min(n, PACKET_SIZE_MAX) - 4;
        break;
      case 'm':
        settings.multicast = 1;
        break;
      case 'o':
        settings.overwrite = 1;
        break;
      case 'r':
        settings.retry_count = n;
        break;
      case 's':
        settings.tsize = 0;
        break;
      case 't':
        transfer.timeout = static_cast<int32_t>(std::min<uint32_t>(n, INT32_MAX));
        break;
      case 'w':
        // Blocks per window (RFC 7440); 0 or no digits asks for none.
        transfer.window_size = std::min(n, WINDOW_SIZE_MAX);
        break;
      default:
        break;
    }
  }

  if (i >= count) return 0;
  std::string_view host(vector[i]);
  std::string_view port_text;
  bool has_port = false;
  std::size_t close = host.find(']');
  ip_address literal{};
  if (!host.empty() && host[0] == '[' && close != std::string_view::npos) {
    // "[2001:db8::1]:69": the brackets keep the address's colons from the port's.
    has_port = host.size() > close + 1 && host[close + 1] == ':';
    if (has_port) port_text = host.substr(close + 2);
    host = host.substr(1, close - 1);
  } else if (!parse_ip_address(vector[i], &literal)) {
    // A bare IPv6 address is taken whole; anything else ends at its first colon.
    std::size_t colon = host.find(':');
    has_port = colon != std::string_view::npos;
    if (has_port) {
      port_text = host.substr(colon + 1);
      host = host.substr(0, colon);
    }
  }
  i++;
  uint64_t port = 0;
  if (has_port && parse_unsigned(port_text, port) && port <= 65535) {
    settings.server_port = static_cast<uint16_t>(port);
  }
  copy_field(settings.host_name, host);

  if (i >= count) return 0;
  std::string_view command(vector[i++]);
  if (equals_ignoring_case(command, "GET")) {
    transfer.operation = OPERATION_GET;
  } else if (equals_ignoring_case(command, "PUT")) {
    transfer.operation = OPERATION_PUT;
  } else {
    return 0;
  }

  if (i >= count) return 0;
  std::string_view remote(vector[i++]);
  copy_field(transfer.remote_name, remote);

  if (i < count) {
    copy_field(transfer.local_name, std::string_view(vector[i++]));
    if (i < count) return 0;
  } else {
    // Only the last component: the directories of the remote name are the
    // server's, and must not choose where the local file goes.
    std::size_t slash = remote.find_last_of("/\\");
    std::string_view last = slash == std::string_view::npos ? remote : remote.substr(slash + 1);
    if (last.empty() || last == "." || last == "..") return 0;
    copy_field(transfer.local_name, last);
  }
  return 1;
}
