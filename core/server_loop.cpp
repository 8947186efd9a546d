#include "core/server_loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "core/file_views.h"
#include "core/multicast.h"
#include "core/packets.h"
#include "core/registry.h"
#include "core/request.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "core/transfer.h"
#include "core/transfer_log.h"
#include "platform/program_path.h"

void (*server_started_hook)() = nullptr;
void (*server_ended_hook)() = nullptr;
void (*server_bound_hook)(int bound) = nullptr;
static std::atomic<int> next_thread_token{1};

void stop_server() {
  server_stop = 1;
  // shutdown wakes the loop blocked in recvfrom; the loop closes the socket
  // itself, so its descriptor cannot be reused under the receive.
  int s = listen_socket.load();
  if (s != -1) shutdown(s, SHUT_RDWR);
}

void purge_sessions() {
  tftp_session** link = &session_list;
  while (*link) {
    tftp_session* s = *link;
    if (!session_is_live(s)) {
      *link = s->next;
      free_session(s);
    } else {
      link = &s->next;
    }
  }
}

tftp_session* find_session_by_peer(uint32_t client_ip, uint16_t client_port) {
  for (tftp_session* s = session_list; s; s = s->next)
    if (session_is_live(s) && s->client_ip == client_ip && s->client_port == client_port) return s;
  return nullptr;
}

int multicast_port_free(uint16_t port) {
  for (tftp_session* s = session_list; s; s = s->next)
    if (session_is_live(s) && (s->option_flags & OPT_MULTICAST) && s->multicast_port == port) return 0;
  return 1;
}

// Ends a session that could not be started: tells the client, logs, releases.
static void refuse_start(tftp_session* s, const sockaddr_in* source, int message_index, const char* why) {
  char address[16];
  send_error_packet(0, message_index, listen_socket, source);
  log_line(1, 1, "  Error   %-15s %-10s %s\n", format_ipv4(s->client_ip, address), request_kinds[s->opcode], why);
  release_file(s);
  if (s->created_file) unlink(s->path);  // leave no trace of an upload that never began
  s->data_socket = close_socket(s->data_socket);
  delete[] s->packet;
  free_session(s);
}

static void handle_datagram(char* buffer, size_t length, const sockaddr_in* source) {
  char address[16];
  format_ipv4(source->sin_addr.s_addr, address);
  reopen_log();
  log_line(2, 0, " Request from %s\n", address);

  if (find_session_by_peer(source->sin_addr.s_addr, source->sin_port) || active_transfers > Clients) {
    log_line(2, 1, "  Error   request from %s ignored, %u\n", address, active_transfers.load());
    return;
  }
  tftp_session* s = new_session();
  if (!s) {
    log_line(2, 0, " malloc(%u) for client failed\n", SESSION_RECORD_SIZE);
    return;
  }
  s->client_ip = source->sin_addr.s_addr;
  s->client_port = source->sin_port;

  int code = parse_request(buffer, length, s);
  if (code >= 0) {
    send_error_packet(code, s->result, listen_socket, source);
    log_line(1, 1, "  Error   %-15s %-10s %u %s %s\n", address, request_kinds[s->opcode], static_cast<unsigned>(code),
             error_texts[code < ERROR_TEXT_COUNT ? code : 0], (code == 1 || code == 2) ? s->path : "");
    free_session(s);
    return;
  }

  uint32_t data_port = DataPort;
  if ((s->option_flags & OPT_MULTICAST) && s->multicast_master == 0) s->data_socket = open_member_data_socket(s);
  if (s->data_socket == -1)
    s->data_socket = data_port ? open_udp_socket_in_range(0, data_port, data_port + Clients - 1, nullptr)
                               : open_udp_socket(0, 0);
  if (s->data_socket != -1 && (s->option_flags & OPT_MULTICAST) && s->multicast_master == 1)
    share_group_data_port(s);
  if (s->data_socket == -1) return refuse_start(s, source, 20, "bind on data port failed");

  s->packet = new (std::nothrow) uint8_t[s->block_size + 8u];
  if (!s->packet) return refuse_start(s, source, 21, "data buffer allocation failed");

  // The token is in place before the worker can run: its last act sets -1.
  s->result = -1;
  s->thread = next_thread_token.fetch_add(1) & 0x7fffffff;
  if (s->thread == 0) s->thread = 1;
  try {
    std::thread(transfer_worker, s).detach();
  } catch (...) {
    s->thread = -1;
    s->result = 0;
    return refuse_start(s, source, 21, "data thread failed");
  }

  std::lock_guard<std::mutex> hold(list_lock);
  purge_sessions();
  s->next = session_list;
  session_list = s;
  mapping_borrower = nullptr;
}

void receive_loop() {
  alignas(8) char buffer[REQUEST_BUFFER_SIZE];
  buffer[REQUEST_BUFFER_SIZE - 1] = 0;
  while (!server_stop) {
    sockaddr_in source{};
    socklen_t source_length = sizeof source;
    ssize_t n = recvfrom(listen_socket, buffer, REQUEST_BUFFER_SIZE - 1, 0, reinterpret_cast<sockaddr*>(&source),
                         &source_length);
    if (server_stop) break;
    if (n <= 0 || server_paused || source.sin_family != AF_INET) continue;
    // An ERROR is never answered: two servers refusing each other's ERROR
    // packets (or one forged packet between them) would never stop.
    if (n >= 2 && buffer[0] == 0 && buffer[1] == OPCODE_ERROR) continue;
    buffer[n] = 0;  // string scans of the request stop inside the buffer
    handle_datagram(buffer, static_cast<size_t>(n), &source);
  }
}

// Binds listen_socket to Port and logs the outcome; a failure sets
// server_stop. Returns 1 when bound, else 0.
static int bind_server_port() {
  listen_socket = open_udp_socket(0, static_cast<uint16_t>(Port.load()));
  if (listen_socket == -1) {
    log_line(1, 0, " bind on TFTP port failed\n");
    server_stop = 1;
    return 0;
  }
  log_line(2, 0, " Ready on TFTP port %u\n", Port.load());
  return 1;
}

int desktop_server_loop() {
  net_startup();
  reopen_log();
  int bound = bind_server_port();
  if (server_bound_hook) server_bound_hook(bound);
  if (bound) {
    receive_loop();
    close_socket(listen_socket.exchange(-1));
  }
  close_log();
  return bound ? 0 : 1;
}

int server_loop(int argument_count, char** arguments) {
  net_startup();
  char directory[4096];
  if (module_directory(directory, sizeof directory) > 0) {
    reg_write_string(SETTINGS_KEY, "Path", directory);
    if (chdir(directory) != 0) directory[0] = 0;
  }
  load_settings(SETTINGS_KEY);
  if (argument_count > 1 && strcasecmp(arguments[1], "-debug") == 0) {
    if (Log < 2) Log = 2;
    log_to_console();
  }
  reopen_log();
  log_line(2, 0, " %s\n", PRODUCT_TITLE);

  if (!bind_server_port()) {
    close_log();
    return 1;
  }
  log_line(2, 0, " RootDirectory : %s\n", root_directory().c_str());
  log_line(2, 0, " Prefix        : %s\n", prefix_list().c_str());
  log_line(2, 0, " def. Timeout  : %u\n", Timeout.load());
  log_line(2, 0, " max. Retries  : %u\n", Retransmit.load());
  log_line(2, 0, " max. Clients  : %u\n", Clients.load());
  log_line(2, 0, " Option eval.  : %u\n", Options.load());
  log_line(2, 0, " Upload enabled: %u\n", Upload.load());
  log_line(2, 0, " Multicast     : %u\n", Multicast.load());
  if (server_started_hook) server_started_hook();

  receive_loop();
  close_socket(listen_socket.exchange(-1));
  close_log();
  if (server_ended_hook) server_ended_hook();
  return 0;
}
