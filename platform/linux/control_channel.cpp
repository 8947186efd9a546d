#include "platform/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/registry_store.h"

static int wake_pipe[2] = {-1, -1};  // written once to end the serving

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

// The store is written with the server's rights, and only for a client
// whose own rights would allow it.
int act_as_client(const pipe_client* client) { return client_may_write_settings(client); }

void act_as_self() {}

int prepare_control_channel() { return pipe2(wake_pipe, O_CLOEXEC) == 0; }

intptr_t open_control_channel(const char* name) {
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

// Serves one connected client until it leaves, sends a message longer than
// the buffer, a write fails or would block, it sends nothing for
// CONTROL_IDLE_SECONDS, or the channel is woken (returns 0 then). Clients
// that connect meanwhile are refused as busy.
static int serve_client(int pipe, int connection, control_handler handler) {
  pipe_client client;
  read_client(connection, &client);
  alignas(8) uint8_t buffer[CONTROL_MESSAGE_SIZE];
  // One absolute deadline, renewed by each request only: refused busy
  // clients and interruptions do not move it.
  int64_t deadline = monotonic_now_ms() + CONTROL_IDLE_SECONDS * 1000;
  for (;;) {
    int64_t left = deadline - monotonic_now_ms();
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
      deadline = monotonic_now_ms() + CONTROL_IDLE_SECONDS * 1000;
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

int serve_control_channel(intptr_t channel, control_handler handler) {
  int pipe = static_cast<int>(channel);
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

int wake_control_channel() {
  char wake = 1;
  return write(wake_pipe[1], &wake, 1) == 1;
}

void close_control_channel(intptr_t channel) {
  if (channel != -1) close(static_cast<int>(channel));
  for (int& end : wake_pipe) {
    if (end != -1) close(end);
    end = -1;
  }
}
