#include "service/control_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "core/little_endian.h"
#include "core/registry.h"
#include "core/session.h"
#include "core/settings.h"
#include "platform/registry_store.h"

static std::atomic<int> control_pipe{-1};
static int wake_pipe[2] = {-1, -1};  // written once to end the thread
static std::thread pipe_thread;

static int client_in_group(const pipe_client* client, gid_t gid) {
  if (client->gid == gid) return 1;
  for (int i = 0; i < client->group_count; i++)
    if (client->groups[i] == gid) return 1;
  return 0;
}

// 1 when the permission bits of st grant the client the wanted access
// (S_IWOTH-style bits of "others": 2 write, 1 search).
static int client_may(const pipe_client* client, const struct stat* st, unsigned wanted) {
  unsigned bits;
  if (st->st_uid == client->uid)
    bits = (st->st_mode >> 6) & 7;
  else if (client_in_group(client, st->st_gid))
    bits = (st->st_mode >> 3) & 7;
  else
    bits = st->st_mode & 7;
  return (bits & wanted) == wanted;
}

int client_may_write_settings(const pipe_client* client) {
  if (client->uid == 0) return 1;
  // The store is written by replacing its file: that takes write and search
  // rights on the directory, and we also ask for write rights on the file.
  std::string path = store_file_path(HIVE_MACHINE);
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  struct stat dir_stat;
  if (stat(directory.c_str(), &dir_stat) != 0 || !client_may(client, &dir_stat, 3)) return 0;
  struct stat file_stat;
  if (stat(path.c_str(), &file_stat) != 0) return errno == ENOENT;
  if (!client_may(client, &file_stat, 2)) return 0;
  // In a sticky directory only the owners may replace another's file.
  if ((dir_stat.st_mode & S_ISVTX) && file_stat.st_uid != client->uid && dir_stat.st_uid != client->uid) return 0;
  return 1;
}

// Commands 5 and 6: the pause flag follows only a client that could write
// the settings key itself; the probe value "Stop" is never left behind.
static void set_pause(uint32_t command, const pipe_client* client) {
  if (client_may_write_settings(client)) {
    reg_write_number(SETTINGS_KEY, "Stop", 1, 0);
    if (reg_read_number(SETTINGS_KEY, "Stop", 0) != 0) server_paused = static_cast<int>(command - PIPE_RESUME);
  }
  reg_write_string(SETTINGS_KEY, "Stop", nullptr);
}

// Copies the record at position index of the session list (0 the newest)
// behind status and active_transfers. Returns 0 when there is none. A
// request still being looked at is not a transfer yet and is not shown.
static int copy_session(uint32_t index, uint8_t* reply) {
  std::lock_guard<std::mutex> hold(list_lock);
  uint32_t position = 0;
  for (tftp_session* s = session_list; s; s = s->next) {
    if (!session_has_started(s)) continue;
    if (position++ != index) continue;
    put32(reply, 0);
    put32(reply + 4, active_transfers.load());
    write_session_record(s, reply + 8);
    return 1;
  }
  return 0;
}

int handle_pipe_command(uint8_t* buffer, size_t buffer_size, size_t request_length, size_t* reply_length,
                        const pipe_client* client) {
  uint32_t command = request_length >= 4 ? get32(buffer) : 0;
  size_t needed = command == PIPE_SESSION ? 8 : 4;
  *reply_length = 4;
  if (request_length < needed || buffer_size < PIPE_SESSION_REPLY_SIZE) {
    put32(buffer, 1);
    return 1;
  }
  switch (command) {
    case PIPE_LOAD_GENERAL: load_general_settings(SETTINGS_KEY); break;
    case PIPE_LOAD_SERVER: load_server_settings(SETTINGS_KEY); break;
    case PIPE_LOAD_OPTIONS: load_option_settings(SETTINGS_KEY); break;
    case PIPE_LOAD_ACCESS: load_access_setting(SETTINGS_KEY); break;
    case PIPE_RESUME:
    case PIPE_PAUSE:
      set_pause(command, client);
      [[fallthrough]];
    case PIPE_STATE:
      put32(buffer, 0);
      put32(buffer + 4, server_paused ? 1u : 0u);
      put32(buffer + 8, server_stop ? 1u : 0u);
      *reply_length = 12;
      return 1;
    case PIPE_SESSION:
      if (copy_session(get32(buffer + 4), buffer)) {
        *reply_length = PIPE_SESSION_REPLY_SIZE;
      } else {
        put32(buffer, 1);
      }
      return 1;
    default:
      put32(buffer, 1);
      return 1;
  }
  put32(buffer, 0);
  return 1;
}

int create_control_pipe(const char* name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t length = strlen(name);
  if (length + 1 > sizeof address.sun_path) return -1;
  memcpy(address.sun_path + 1, name, length);  // sun_path[0] = 0: abstract namespace
  int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  socklen_t address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), address_length) != 0 || listen(s, 4) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Reads the kernel's record of the connecting process.
static void read_client(int connection, pipe_client* client) {
  *client = pipe_client{};
  client->uid = static_cast<uid_t>(-1);
  client->gid = static_cast<gid_t>(-1);
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
    client->uid = credentials.uid;
    client->gid = credentials.gid;
  }
  socklen_t groups_length = sizeof client->groups;
  if (getsockopt(connection, SOL_SOCKET, SO_PEERGROUPS, client->groups, &groups_length) == 0)
    client->group_count = static_cast<int>(groups_length / sizeof(gid_t));
}

static int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Serves one connected client until it leaves, sends a message longer than
// the buffer, a write fails or would block, it sends nothing for
// CONTROL_IDLE_SECONDS, or the channel is stopped (returns 0 then). Clients
// that connect meanwhile are refused as busy.
static int serve_client(int pipe, int connection,
                        int (*handler)(uint8_t*, size_t, size_t, size_t*, const pipe_client*)) {
  pipe_client client;
  read_client(connection, &client);
  alignas(8) uint8_t buffer[PIPE_BUFFER_SIZE];
  // One absolute deadline, renewed by each request only: refused busy
  // clients and interruptions do not move it.
  int64_t deadline = monotonic_ms() + CONTROL_IDLE_SECONDS * 1000;
  for (;;) {
    int64_t left = deadline - monotonic_ms();
    if (left <= 0) return 1;  // silent too long: the channel is free for the next client
    pollfd waits[3] = {{connection, POLLIN, 0}, {pipe, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    int ready = poll(waits, 3, static_cast<int>(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (ready == 0) continue;
    if (waits[2].revents) return 0;
    // The client first: when it has just left, a waiting one is served next
    // rather than refused.
    if (waits[0].revents) {
      iovec part{buffer, sizeof buffer};
      msghdr message{};
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      ssize_t n = recvmsg(connection, &message, 0);
      if (n <= 0 || (message.msg_flags & MSG_TRUNC)) return 1;
      deadline = monotonic_ms() + CONTROL_IDLE_SECONDS * 1000;
      size_t reply_length = 0;
      if (!handler(buffer, sizeof buffer, static_cast<size_t>(n), &reply_length, &client)) return 1;
      // A client that does not read its replies is dropped rather than waited for.
      if (send(connection, buffer, reply_length, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(reply_length))
        return 1;
    }
    if (waits[1].revents & POLLIN) {
      int busy = accept4(pipe, nullptr, nullptr, SOCK_CLOEXEC);
      if (busy >= 0) close(busy);
    }
  }
}

int serve_control_pipe(int pipe, int (*handler)(uint8_t*, size_t, size_t, size_t*, const pipe_client*)) {
  for (;;) {
    pollfd waits[2] = {{pipe, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (waits[1].revents) return 1;
    int connection = accept4(pipe, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
      return 1;
    }
    int go_on = serve_client(pipe, connection, handler);
    close(connection);
    if (!go_on) return 1;
  }
}

void control_pipe_thread() {
  int pipe = create_control_pipe(CONTROL_PIPE_NAME);
  control_pipe = pipe;
  if (pipe == -1) return;
  serve_control_pipe(pipe, handle_pipe_command);
}

void start_control_pipe() {
  if (pipe2(wake_pipe, O_CLOEXEC) != 0) return;
  pipe_thread = std::thread(control_pipe_thread);
}

void stop_control_pipe() {
  if (!pipe_thread.joinable()) return;
  char wake = 1;
  if (write(wake_pipe[1], &wake, 1) != 1) return;  // the thread cannot be told; leave it to the exit
  pipe_thread.join();
  int pipe = control_pipe.exchange(-1);
  if (pipe != -1) close(pipe);
  close(wake_pipe[0]);
  close(wake_pipe[1]);
  wake_pipe[0] = wake_pipe[1] = -1;
}
