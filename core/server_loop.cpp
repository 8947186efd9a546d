#include "core/server_loop.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/file_views.h"
#include "core/multicast.h"
#include "core/packets.h"
#include "core/printable.h"
#include "core/registry.h"
#include "core/request.h"
#include "core/session.h"
#include "core/served_directories.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/settings_check.h"
#include "core/transfer.h"
#include "core/transfer_loops.h"
#include "core/transfer_log.h"
#include "core/upload_leftovers.h"
#include "platform/poller.h"
#include "platform/program_path.h"
#include "platform/udp_socket.h"

void (*server_started_hook)() = nullptr;
void (*server_ended_hook)() = nullptr;
void (*server_bound_hook)(int bound) = nullptr;
static std::atomic<int> next_thread_token{1};
// What the system books for one small request waiting in the listening
// socket (its own accounting included), in the units its buffer size is asked in.
constexpr size_t LISTEN_BYTES_PER_REQUEST = 1024;
static std::mutex start_failure_lock;
static char start_failure_text[1024];
static char bind_failure_text[512];

// The sockets the server listens on: one for each ListenAddresses entry,
// or, when it is empty, one for all IPv6 addresses and one for all IPv4
// addresses. Separate sockets rather than one IPv6 socket that also takes
// IPv4: each family's requests then come with that family's own packet
// information, and a host without IPv6 still serves IPv4. Used by the
// server loop alone; listen_socket is the first of them.
constexpr int LISTEN_MAX = 32;
static int listen_sockets[LISTEN_MAX];
static int listen_count = 0;
// Kept for the life of the process, so that stop_server may wake it at any time.
static std::atomic<poller*> listen_poller{nullptr};
// Requests taken from one socket before the others have their turn.
constexpr int REQUESTS_PER_TURN = 32;

void stop_server() {
  server_stop = 1;
  poller* p = listen_poller.load();
  if (p) poller_wake(p);
}

// Ends a session that could not be started: tells the client, logs,
// releases what it held (an upload's new file is removed) and drops it.
static void refuse_start(tftp_session* s, int socket, uint16_t port, int message_index, const char* why) {
  char address[IP_TEXT_SIZE];
  send_error_packet(TFTP_ERROR_UNDEFINED, message_index, socket, s->client_address, port, s->local_address);
  log_refusal_line(1, 1, "  Error   %-15s %-10s %s\n", format_ip_address(s->client_address, address),
                   request_kinds[s->opcode], why);
  release_transfer(s);
  drop_session(s);
}

// One request that arrived on the listening socket `socket` from `from`,
// sent to the local address `local`.
static void handle_datagram(int socket, const char* buffer, size_t length, const ip_address& from, uint16_t port,
                            const ip_address& local) {
  char address[IP_TEXT_SIZE];
  format_ip_address(from, address);
  reopen_log();
  log_refusal_line(2, 0, " Request from %s\n", address);

  int refusal;
  tftp_session* s =
      admit_session(from, port, buffer, length < REQUEST_BUFFER_SIZE ? length : REQUEST_BUFFER_SIZE, &refusal);
  if (!s) {
    if (refusal == ADMIT_NO_MEMORY)
      log_line(2, 0, " malloc(%u) for client failed\n", SESSION_RECORD_SIZE);
    else
      log_refusal_line(2, 1, "  Error   request from %s ignored, %u\n", address, active_transfers.load());
    return;
  }

  s->local_address = local;
  int code;
  if (length > REQUEST_BUFFER_SIZE) {
    // Longer than the buffer, so it arrived cut: refused, never parsed cut.
    s->refusal_message = MSG_BAD_PACKET;
    code = TFTP_ERROR_ILLEGAL;
  } else {
    code = parse_request(buffer, length, s);
  }
  if (code != REQUEST_ACCEPTED) {
    log_refusal_line(1, 1, "  Error   %-15s %-10s %u %s %s\n", address, request_kinds[s->opcode],
                     static_cast<unsigned>(code), error_texts[code < ERROR_TEXT_COUNT ? code : 0],
                     (code == TFTP_ERROR_NOT_FOUND || code == TFTP_ERROR_ACCESS) ? s->path : "");
    // Gone from the list before the client hears of the refusal.
    int message_index = s->refusal_message;
    release_file(s);
    drop_session(s);
    send_error_packet(code, message_index, socket, from, port, local);
    return;
  }

  uint32_t data_port = DataPort;
  // The data socket answers from the address the client asked, so that a
  // client (or its firewall) that expects that address takes the answer.
  int data_socket = -1;
  if ((s->option_flags & OPT_MULTICAST) && s->multicast_master == 0) data_socket = open_member_data_socket(s);
  if (data_socket == -1)
    data_socket = data_port ? open_udp_socket_in_range(local, data_port, data_port_range_end(data_port), nullptr)
                            : open_udp_socket(local, 0);
  s->data_socket = data_socket;
  if (data_socket != -1 && (s->option_flags & OPT_MULTICAST) && s->multicast_master == 1) share_group_data_port(s);
  if (data_socket == -1) return refuse_start(s, socket, port, MSG_DATA_PORT_FAILED, "bind on data port failed");

  uint8_t* packet = new (std::nothrow) uint8_t[s->block_size + 8u];
  if (!packet) return refuse_start(s, socket, port, MSG_RESOURCE_PROBLEM, "data buffer allocation failed");
  s->packet = packet;

  // Accepted: finished sessions make room, as always when a request is taken.
  purge_finished_sessions();
  // The token is in place before the loop can begin it: its last act sets -1.
  s->result = RESULT_RUNNING;
  int token = next_thread_token.fetch_add(1) & 0x7fffffff;
  s->thread = token == 0 ? 1 : token;
  if (!start_transfer(s)) {
    s->thread = 0;
    s->result = RESULT_OK;
    return refuse_start(s, socket, port, MSG_RESOURCE_PROBLEM, "data thread failed");
  }
}

// Running transfers end before the server does: their results are logged,
// an upload's temporary file is removed, and no transfer outlives the
// process-wide state it uses.
static void end_transfers() {
  int left = end_running_transfers(monotonic_now_ms() + 5000);
  if (left) log_line(1, 0, " %d transfers did not end in time\n", left);
}

// Takes the requests waiting on the listening sockets until stop_server.
static void receive_loop() {
  alignas(8) char buffer[REQUEST_BUFFER_SIZE];
  poller_event events[LISTEN_MAX];
  while (!server_stop) {
    int ready = poller_wait(listen_poller, -1, events, LISTEN_MAX);
    if (server_stop) break;
    for (int i = 0; i < ready && !server_stop; i++) {
      if (!events[i].tag) continue;
      int socket = *static_cast<int*>(events[i].tag);
      for (int taken = 0; taken < REQUESTS_PER_TURN && !server_stop; taken++) {
        ip_address from{}, local{};
        uint16_t port = 0;
        // The datagram's real length comes back, so a longer one is seen as such.
        long n = take_request(socket, buffer, sizeof buffer, &from, &port, &local);
        if (n == SOCKET_TIMEOUT || n == SOCKET_FAILED) break;
        if (n <= 0 || server_paused) continue;
        // An ERROR is never answered: two servers refusing each other's ERROR
        // packets (or one forged packet between them) would never stop.
        if (n >= 2 && buffer[0] == 0 && buffer[1] == OPCODE_ERROR) continue;
        handle_datagram(socket, buffer, static_cast<size_t>(n), from, port, local);
      }
    }
  }
}

static void close_listen_sockets() {
  poller* p = listen_poller.load();
  for (int i = 0; i < listen_count; i++) {
    if (p) poller_forget(p, listen_sockets[i]);
    close_socket(listen_sockets[i]);
  }
  listen_count = 0;
  listen_socket = -1;
}

// Why a bind failed, kept for the program that hosts the core.
static void keep_bind_failure(const char* text) {
  std::lock_guard<std::mutex> hold(start_failure_lock);
  snprintf(bind_failure_text, sizeof bind_failure_text, "%s", text);
}

// Opens one listening socket on address and Port. Returns it or -1 (the
// reason kept, naming the address when it is a listed one).
static int open_listen_socket(const ip_address& address, int listed) {
  int s = open_udp_socket(address, static_cast<uint16_t>(Port.load()));
  if (s != -1 && ask_local_address(s)) return s;
  int error = socket_error();
  close_socket(s);
  char reason[160], text[IP_TEXT_SIZE], why[sizeof bind_failure_text];
  socket_error_text(error, reason, sizeof reason);
  format_ip_address(address, text);
  if (listed && address_not_here(error))
    snprintf(why, sizeof why, "ListenAddresses: %s is not an address of this host", text);
  else if (listed)
    snprintf(why, sizeof why, "ListenAddresses: cannot listen on %s at UDP port %u: %s", text, Port.load(), reason);
  else
    snprintf(why, sizeof why, "cannot bind UDP port %u: %s", Port.load(), reason);
  keep_bind_failure(why);
  return -1;
}

// Opens the listening sockets: ListenAddresses, or both families' any-address.
// Returns how many, 0 when one failed (none is left open then).
static int open_listen_sockets() {
  std::vector<ip_address> addresses;
  std::string bad;
  if (!parse_listen_addresses(listen_addresses(), &addresses, &bad)) {
    std::string why = "ListenAddresses: \"" + printable_text(bad) + "\" is no IPv4 or IPv6 address";
    keep_bind_failure(why.c_str());
    return 0;
  }
  int listed = !addresses.empty();
  if (!listed) {
    // A host without IPv6 (switched off in the kernel) still serves IPv4.
    int v6 = open_udp_socket(any_address(IP_V6), 0);
    if (v6 != -1) addresses.push_back(any_address(IP_V6));
    close_socket(v6);
    addresses.push_back(any_address(IP_V4));
  }
  if (addresses.size() > static_cast<size_t>(LISTEN_MAX)) {
    char why[128];
    snprintf(why, sizeof why, "ListenAddresses: more than %d addresses", LISTEN_MAX);
    keep_bind_failure(why);
    return 0;
  }
  for (const ip_address& address : addresses) {
    int s = open_listen_socket(address, listed);
    if (s == -1) {
      close_listen_sockets();
      return 0;
    }
    listen_sockets[listen_count++] = s;
  }
  return listen_count;
}

// Binds the listening sockets to Port and logs the outcome; a failure sets
// server_stop. Returns 1 when bound, else 0.
static int bind_server_port() {
  if (!listen_poller.load()) listen_poller = open_poller();
  if (!listen_poller.load() || !open_listen_sockets()) {
    if (!listen_poller.load()) keep_bind_failure("cannot wait on the server port: out of memory");
    log_kind_line(LOG_KIND_START_FAILURE, 1, 0, " bind on TFTP port failed\n");
    server_stop = 1;
    return 0;
  }
  {
    std::lock_guard<std::mutex> hold(start_failure_lock);
    bind_failure_text[0] = 0;
  }
  for (int i = 0; i < listen_count; i++) {
    // A boot storm sends Clients requests at once: the system's default
    // buffer holds a few hundred, and each one dropped costs its client a
    // time-out. Taken while the server may still ask beyond the system's cap.
    size_socket_buffers(listen_sockets[i], 0, (static_cast<size_t>(Clients.load()) + 1) * LISTEN_BYTES_PER_REQUEST);
    poller_watch(listen_poller, listen_sockets[i], &listen_sockets[i]);
  }
  listen_socket = listen_sockets[0];
  // Running before the server says it is ready, so that what they hold is
  // there from then on; without them every request is refused ("data
  // thread failed").
  start_transfer_loops();
  log_line(2, 0, " Ready on TFTP port %u\n", Port.load());
  return 1;
}

// Refuses to serve a root that is no directory, or a root or prefix that
// holds the server's own files; the reason is logged and kept for the
// program that hosts the core.
static int served_directories_clear() {
  char message[sizeof start_failure_text];
  if (check_served_directories(message, sizeof message) == SERVED_CLEAR) return 1;
  {
    std::lock_guard<std::mutex> hold(start_failure_lock);
    memcpy(start_failure_text, message, sizeof message);
  }
  log_kind_line(LOG_KIND_START_FAILURE, 1, 1, " %s\n", message);
  server_stop = 1;
  return 0;
}

std::string server_start_failure() {
  std::lock_guard<std::mutex> hold(start_failure_lock);
  return start_failure_text;
}

std::string server_bind_failure() {
  std::lock_guard<std::mutex> hold(start_failure_lock);
  return bind_failure_text;
}

int desktop_server_loop() {
  net_startup();
  reopen_log();
  log_settings_problems(SETTINGS_KEY);
  int bound = served_directories_clear() && bind_server_port();
  if (bound) remove_upload_leftovers();
  if (server_bound_hook) server_bound_hook(bound);
  if (bound) {
    receive_loop();
    close_listen_sockets();
    end_transfers();
  }
  close_log();
  return bound ? 0 : 1;
}

int server_loop(int argument_count, char** arguments) {
  net_startup();
  char directory[4096];
  if (module_directory(directory, sizeof directory) > 0) {
    if (program_path_in_store()) reg_write_string(SETTINGS_KEY, "Path", directory);
    if (chdir(directory) != 0) directory[0] = 0;
  }
  load_settings(SETTINGS_KEY);
  if (argument_count > 1 && strcasecmp(arguments[1], "-debug") == 0) {
    if (Log < 2) Log = 2;
    log_to_console();
  }
  log_to_journal_if_attached();
  reopen_log();
  log_line(2, 0, " %s\n", PRODUCT_TITLE);
  log_settings_problems(SETTINGS_KEY);

  if (!served_directories_clear() || !bind_server_port()) {
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
  // Only once the port is ours: a second start that cannot bind must not
  // touch the files of the server that holds it.
  remove_upload_leftovers();
  if (server_started_hook) server_started_hook();

  receive_loop();
  close_listen_sockets();
  end_transfers();
  close_log();
  if (server_ended_hook) server_ended_hook();
  return 0;
}
