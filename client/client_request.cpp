// The request, the first answer, the reading of an OACK, and ERROR packets.
#include "client/client_request.h"
#include "client/command_line.h"
#include "client/local_file.h"
#include "client/resolve.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "core/wire_string.h"
#include "platform/udp_socket.h"

namespace {

// Messages of a refused OACK, sent back in the ERROR packet.
constexpr int OACK_BAD_BLKSIZE = 1;
constexpr int OACK_BAD_TIMEOUT = 2;
constexpr int OACK_BAD_TSIZE = 3;
constexpr int OACK_BAD_MULTICAST = 4;
constexpr int OACK_BAD_WINDOWSIZE = 5;
constexpr std::array<std::string_view, 6> OACK_TEXTS = {
    "Invalid Option", "Bad blksize option", "Bad timeout option", "Bad tsize option",
    "Bad multicast option", "Bad windowsize option"};

// Appends to a packet buffer of known size; an overflow spoils the packet.
struct packet_writer {
  uint8_t* data;
  std::size_t size;
  std::size_t used;
  bool ok;
};

void put_bytes(packet_writer& w, const void* bytes, std::size_t n) {
  if (!w.ok || n > w.size - w.used) {
    w.ok = false;
    return;
  }
  std::memcpy(w.data + w.used, bytes, n);
  w.used += n;
}

void put_string(packet_writer& w, std::string_view text) {
  put_bytes(w, text.data(), text.size());
  const uint8_t zero = 0;
  put_bytes(w, &zero, 1);
}

void put_number(packet_writer& w, uint64_t value) {
  std::array<char, 24> digits{};
  auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  put_string(w, std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data())));
}

// Reads up to a separator: digits only, at most `limit`.
bool read_field(std::string_view& text, char separator, uint32_t limit, uint32_t& value) {
  std::size_t i = 0;
  uint64_t v = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && v <= limit) {
    v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    i++;
  }
  if (i == 0 || v > limit) return false;
  if (separator) {
    if (i == text.size() || text[i] != separator) return false;
    i++;
  }
  text.remove_prefix(i);
  value = static_cast<uint32_t>(v);
  return true;
}

// "a.b.c.d,port,master" of a multicast acknowledgement.
bool read_multicast(std::string_view value, client_transfer& transfer) {
  std::array<uint32_t, 6> field{};
  static constexpr std::array<char, 6> separators = {'.', '.', '.', ',', ',', 0};
  static constexpr std::array<uint32_t, 6> limits = {255, 255, 255, 255, 65535, UINT32_MAX};
  for (std::size_t i = 0; i < field.size(); i++) {
    if (!read_field(value, separators[i], limits[i], field[i])) return false;
  }
  for (std::size_t i = 0; i < 4; i++) {
    transfer.multicast_address[i] = static_cast<uint8_t>(field[i]);
  }
  transfer.multicast_port = static_cast<uint16_t>(field[4]);
  transfer.multicast_master = field[5];
  return true;
}

}  // namespace

std::string_view oack_refusal_text(int message) {
  if (message < 0 || static_cast<std::size_t>(message) >= OACK_TEXTS.size()) return OACK_TEXTS[0];
  return OACK_TEXTS[static_cast<std::size_t>(message)];
}

std::size_t build_request(client_transfer& transfer, const client_settings& settings,
                          uint8_t* buffer, std::size_t size) {
  packet_writer w{buffer, size, 0, true};
  uint8_t opcode[2];
  put_u16(opcode, transfer.operation);
  put_bytes(w, opcode, sizeof opcode);
  put_string(w, std::string_view(transfer.remote_name.data()));
  put_string(w, transfer.mode == MODE_NETASCII ? "netascii" : "octet");
  transfer.option_flags = 0;
  if (transfer.block_size > BLKSIZE_DEFAULT) {
    put_string(w, "blksize");
    put_number(w, transfer.block_size);
    transfer.option_flags |= OPT_BLKSIZE;
  }
  if (settings.tsize) {
    put_string(w, "tsize");
    if (transfer.operation == OPERATION_PUT) {
      int64_t size_of_file = local_file_size(transfer.file);
      transfer.byte_count = static_cast<uint32_t>(size_of_file);
      put_number(w, static_cast<uint64_t>(size_of_file));
    } else {
      put_number(w, 0);
    }
    transfer.option_flags |= OPT_TSIZE;
  }
  if (transfer.timeout > 1) {
    put_string(w, "timeout");
    put_number(w, static_cast<uint64_t>(transfer.timeout));
    transfer.option_flags |= OPT_TIMEOUT;
  }
  if (transfer.window_size > 0) {
    if (transfer.operation == OPERATION_PUT) {
      // A PUT holds its window to send it again.
      uint32_t fits = static_cast<uint32_t>(
          std::max<std::size_t>(1, PUT_WINDOW_BYTES / (transfer.block_size + 4)));
      transfer.window_size = std::min(transfer.window_size, fits);
    }
    put_string(w, "windowsize");
    put_number(w, transfer.window_size);
    transfer.option_flags |= OPT_WINDOWSIZE;
  }
  if (settings.multicast) {
    put_string(w, "multicast");
    put_string(w, "");
    transfer.option_flags |= OPT_MULTICAST;
  }
  transfer.requested_block_size = transfer.block_size;
  return w.ok ? w.used : 0;
}

int send_request(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
                 std::size_t length) {
  transfer.failure = CLIENT_FAILURE_NO_ANSWER;
  // run_client resolved the name before it chose the socket's family.
  const ip_address address = transfer.server_address;
  if (address.family == IP_NONE) {
    transfer.failure = CLIENT_FAILURE_HOST_UNKNOWN;
    return -1;
  }
  if (length == 0) return -1;
  auto send_it = [&] {
    return send_datagram_to(transfer.socket, buffer, length, address,
                            network_port(settings.server_port)) == static_cast<long>(length);
  };
  if (!send_it()) return -1;
  int64_t deadline = deadline_after(transfer.timeout);
  uint64_t resent = 0;
  for (;;) {
    int r = wait_sockets_until(&transfer.socket, 1, deadline);
    if (r < 0) return -1;
    if (r == 0) {
      if (resent > settings.retry_count) return -1;
      resent++;
      if (!send_it()) return -1;
      deadline = deadline_after(transfer.timeout);
      continue;
    }
    ip_address source_address{};
    uint16_t source_port = 0;
    long n = take_datagram_from(transfer.socket, buffer, transfer.buffer_size, &source_address, &source_port);
    if (n == SOCKET_TIMEOUT) continue;
    if (n < 0) return -1;
    if (!same_address(source_address, address)) {
      // Anyone can send to our port before the server answers: only the
      // server's address may give the first answer. The wait keeps its
      // deadline, so that strays cannot hold the call open.
      send_error_to(transfer.socket, TFTP_ERROR_UNKNOWN_TID, "Unknown transfer ID", source_address, source_port);
      continue;
    }
    if (n < 4) return -1;
    // The server answers from its transfer port, any port of its address;
    // from now on only that port reaches this socket, and every packet goes
    // there.
    if (connect_to_host(transfer.socket, address, host_port(source_port)) < 0) return -1;
    // Datagrams queued before the connect stay in the socket: they are
    // strays, or the server's repeats of the answer already taken, as the
    // server sends nothing new before our reply.
    for (int i = 0; i < STALE_DATAGRAMS_MAX; i++) {
      std::array<uint8_t, 4> stale{};
      if (take_datagram(transfer.socket, stale.data(), stale.size()) < 0) break;
    }
    transfer.failure = CLIENT_FAILURE_NONE;
    return static_cast<int>(n);
  }
}

int parse_oack(const uint8_t* options, std::size_t length, client_transfer& transfer,
               const client_settings& settings) {
  transfer.option_flags = 0;
  std::size_t pos = 0;
  while (pos < length) {
    wire_string name;
    // An unterminated tail is no option.
    if (!read_wire_string(options, length, pos, &name, &pos)) break;
    wire_string value_string{};
    std::size_t next = pos;
    bool has_value = read_wire_string(options, length, pos, &value_string, &next) != 0;
    std::string_view value(value_string.text, value_string.length);
    uint64_t number = 0;
    // An option this client acts on must come with a complete value.
    if (wire_string_is(&name, "blksize")) {
      if (!has_value || !parse_unsigned(value, number) || number < BLKSIZE_MIN ||
          number > transfer.requested_block_size) {
        // A larger block than asked for would not fit the packet buffer.
        transfer.refused_message = OACK_BAD_BLKSIZE;
        return OACK_REFUSED;
      }
      transfer.option_flags |= OPT_BLKSIZE;
      transfer.block_size = static_cast<uint32_t>(number);
    } else if (wire_string_is(&name, "timeout")) {
      if (!has_value || !parse_unsigned(value, number) ||
          number != static_cast<uint64_t>(transfer.timeout)) {
        transfer.refused_message = OACK_BAD_TIMEOUT;
        return OACK_REFUSED;
      }
      transfer.option_flags |= OPT_TIMEOUT;
    } else if (wire_string_is(&name, "tsize")) {
      if (!has_value || !parse_unsigned(value, number)) {
        transfer.refused_message = OACK_BAD_TSIZE;
        return OACK_REFUSED;
      }
      transfer.option_flags |= OPT_TSIZE;
      transfer.byte_count = static_cast<uint32_t>(number);
      if (transfer.operation == OPERATION_GET) {
        transfer.expected_size = number;
        transfer.size_known = 1;
      }
    } else if (wire_string_is(&name, "windowsize")) {
      // At most the window asked for, which is what the buffers are sized for.
      if (!has_value || !parse_unsigned(value, number) || number < 1 ||
          number > transfer.window_size) {
        transfer.refused_message = OACK_BAD_WINDOWSIZE;
        return OACK_REFUSED;
      }
      transfer.option_flags |= OPT_WINDOWSIZE;
      transfer.window_size = static_cast<uint32_t>(number);
    } else if (settings.multicast && wire_string_is(&name, "multicast")) {
      if (!has_value || transfer.operation != OPERATION_GET || !read_multicast(value, transfer)) {
        transfer.refused_message = OACK_BAD_MULTICAST;
        return OACK_REFUSED;
      }
      transfer.option_flags |= OPT_MULTICAST;
    }
    if (!has_value) break;
    pos = next;
  }
  if (!(transfer.option_flags & OPT_BLKSIZE)) transfer.block_size = BLKSIZE_DEFAULT;
  if (!(transfer.option_flags & OPT_TIMEOUT)) transfer.timeout = 1;
  if (!(transfer.option_flags & OPT_WINDOWSIZE)) transfer.window_size = 1;
  return OACK_USABLE;
}

namespace {

// An ERROR packet in packet; returns its length, 0 when it does not fit.
std::size_t build_error(std::array<uint8_t, ERROR_PACKET_SIZE>& packet, uint16_t code,
                        std::string_view text) {
  packet_writer w{packet.data(), packet.size(), 0, true};
  uint8_t header[4];
  put_u16(header, OPCODE_ERROR);
  put_u16(header + 2, code);
  put_bytes(w, header, sizeof header);
  put_string(w, text.substr(0, packet.size() - 5));
  return w.ok ? w.used : 0;
}

}  // namespace

void send_error(int socket, uint16_t code, std::string_view text) {
  std::array<uint8_t, ERROR_PACKET_SIZE> packet{};
  std::size_t length = build_error(packet, code, text);
  if (length) send_datagram(socket, packet.data(), length);
}

void send_error_to(int socket, uint16_t code, std::string_view text, const ip_address& address,
                   uint16_t port) {
  std::array<uint8_t, ERROR_PACKET_SIZE> packet{};
  std::size_t length = build_error(packet, code, text);
  if (length) send_datagram_to(socket, packet.data(), length, address, port);
}

void note_server_error(client_transfer& transfer, const uint8_t* packet, std::size_t length) {
  if (length < 4 || get_u16(packet) != OPCODE_ERROR) return;
  transfer.failure = CLIENT_FAILURE_SERVER_ERROR;
  transfer.error_code = get_u16(packet + 2);
  // The message ends at its zero byte, or with the datagram when a server
  // leaves the zero out.
  const uint8_t* text = packet + 4;
  std::size_t n = 0;
  while (n < length - 4 && n < transfer.error_text.size() && text[n] != 0) n++;
  std::memcpy(transfer.error_text.data(), text, n);
  transfer.error_length = static_cast<uint16_t>(n);
}
