#include "platform/control_channel.h"
#include "platform/privileges.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/registry_store.h"

static int wake_pipe[2] = {-1, -1};  // written once to end the serving

// The socket's file as bound, so that only that file is removed at the end.
static std::string bound_path;
static dev_t bound_device;
static ino_t bound_inode;

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

std::string control_channel_path() {
  const char* chosen = getenv("ORVANEL_CONTROL_SOCKET");
  return chosen && *chosen ? std::string(chosen) : std::string(CONTROL_SOCKET_PATH);
}

int prepare_control_channel() { return pipe2(wake_pipe, O_CLOEXEC) == 0; }

static void say(char* reason, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
static void say(char* reason, size_t size, const char* format, ...) {
  if (size == 0) return;
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(reason, size, format, arguments);
  va_end(arguments);
}

// Creates the socket's directory when it is missing, 0755 whatever the
// umask, so that every user may reach the socket and only we may write.
static int make_directory(const std::string& directory, char* reason, size_t size) {
  struct stat st;
  if (lstat(directory.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 1;
    say(reason, size, "%s is not a directory", directory.c_str());
    return 0;
  }
  if (errno != ENOENT || mkdir(directory.c_str(), 0755) != 0) {
    say(reason, size, "cannot create %s: %s", directory.c_str(), strerror(errno));
    return 0;
  }
  int made = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (made >= 0) {
    fchmod(made, 0755);  // on failure the umask's mode stays: still ours alone to write
    // Made by root for a server that is about to become the service user:
    // that user's, as systemd's RuntimeDirectory= would be, so that the
    // server can still remove its socket at the end.
    char user[64];
    uint32_t uid, gid;
    if (geteuid() == 0 && find_service_user(user, sizeof user, &uid, &gid)) {
      if (fchown(made, uid, gid) != 0) {
        // Still root's: only the removal at the end is lost.
      }
    }
    close(made);
  }
  return 1;
}

enum { LISTENER_NONE = 0, LISTENER_LIVE = 1, LISTENER_UNKNOWN = -1 };

// Whether a process listens on the socket file at address; who it is in
// *peer when it does (pid 0 when unknown).
static int probe_listener(const sockaddr_un* address, socklen_t length, ucred* peer) {
  *peer = ucred{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
  int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return LISTENER_UNKNOWN;
  int result = LISTENER_LIVE;
  if (connect(s, reinterpret_cast<const sockaddr*>(address), length) == 0) {
    socklen_t peer_length = sizeof *peer;
    getsockopt(s, SOL_SOCKET, SO_PEERCRED, peer, &peer_length);
  } else if (errno == ECONNREFUSED || errno == ENOENT) {
    result = LISTENER_NONE;  // a file left by a server that ended
  } else if (errno != EAGAIN && errno != EPROTOTYPE) {
    result = LISTENER_UNKNOWN;  // EAGAIN: its queue is full; EPROTOTYPE: a socket of another kind
  }
  int error = errno;
  close(s);
  errno = error;
  return result;
}

// Gives every local user the right to connect (0666) to the file we just
// bound, and never to something put in its place meanwhile: the file is
// pinned by a descriptor that does not follow links, and checked to be a
// socket of ours before its mode changes. Records it for its removal.
static int open_to_all(const char* path) {
  int pinned = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (pinned < 0) return 0;
  struct stat st;
  int ok = fstat(pinned, &st) == 0;
  if (ok && (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid())) {
    errno = EEXIST;
    ok = 0;
  }
  if (ok) {
    char by_descriptor[64];
    snprintf(by_descriptor, sizeof by_descriptor, "/proc/self/fd/%d", pinned);
    ok = chmod(by_descriptor, 0666) == 0;
  }
  if (ok) {
    bound_path = path;
    bound_device = st.st_dev;
    bound_inode = st.st_ino;
  }
  int error = errno;
  close(pinned);
  errno = error;
  return ok;
}

intptr_t open_control_channel(const char* path, char* reason, size_t reason_size) {
  say(reason, reason_size, "%s", "");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t length = strlen(path);
  if (length == 0 || length >= sizeof address.sun_path) {
    say(reason, reason_size, "the path is empty or longer than %zu bytes", sizeof address.sun_path - 1);
    return -1;
  }
  memcpy(address.sun_path, path, length);
  socklen_t address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + 1);
  std::string directory(path);
  size_t slash = directory.rfind('/');
  if (slash != std::string::npos && slash > 0 && !make_directory(directory.substr(0, slash), reason, reason_size))
    return -1;
  int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (s < 0) {
    say(reason, reason_size, "no socket: %s", strerror(errno));
    return -1;
  }
  // A file already there is replaced only when it is a socket nobody
  // listens on (left by a server that ended without removing it).
  for (int attempt = 0; bind(s, reinterpret_cast<sockaddr*>(&address), address_length) != 0; attempt++) {
    if (errno != EADDRINUSE || attempt > 0) {
      say(reason, reason_size, "cannot bind: %s", strerror(errno));
      close(s);
      return -1;
    }
    struct stat st;
    if (lstat(path, &st) != 0) continue;
    if (!S_ISSOCK(st.st_mode)) {
      say(reason, reason_size, "the path exists and is not a socket");
      close(s);
      return -1;
    }
    ucred peer;
    int listener = probe_listener(&address, address_length, &peer);
    if (listener == LISTENER_LIVE) {
      if (peer.pid)
        say(reason, reason_size, "taken by a live listener (uid %u, pid %d)", static_cast<unsigned>(peer.uid),
            static_cast<int>(peer.pid));
      else
        say(reason, reason_size, "taken by a live listener");
      close(s);
      return -1;
    }
    if (listener == LISTENER_UNKNOWN || (unlink(path) != 0 && errno != ENOENT)) {
      say(reason, reason_size, "cannot replace the socket there: %s", strerror(errno));
      close(s);
      return -1;
    }
  }
  if (!open_to_all(path)) {
    say(reason, reason_size, "cannot open the socket to all users: %s", strerror(errno));
    close(s);
    return -1;
  }
  // A deep queue: a crowd of connections must not make the administrator's
  // wait long; each is accepted, or refused, within a turn of the loop.
  if (listen(s, 64) != 0) {
    say(reason, reason_size, "cannot listen: %s", strerror(errno));
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

// A connected client: who it is, when its silence ends its connection, and
// when it last asked (a counter), to choose whom to drop when all are taken.
struct served_client {
  int connection;
  pipe_client who;
  int64_t deadline;
  uint64_t last_turn;
};

static void drop_client(served_client* clients, int* count, int index) {
  close(clients[index].connection);
  clients[index] = clients[--*count];
}

// The client to drop for a newcomer when all places are taken: the least
// recently active of the user who holds most connections. A user can thus
// push out only its own connections while it holds more than anyone else,
// and never the administrator's one connection.
static int client_to_drop(const served_client* clients, int count) {
  int chosen = 0;
  int chosen_share = 0;
  for (int i = 0; i < count; i++) {
    int share = 0;
    for (int j = 0; j < count; j++) share += clients[j].who.uid == clients[i].who.uid;
    if (share > chosen_share || (share == chosen_share && clients[i].last_turn < clients[chosen].last_turn)) {
      chosen = i;
      chosen_share = share;
    }
  }
  return chosen;
}

enum { CLIENT_ANSWERED = 1, CLIENT_QUIET = 0, CLIENT_GONE = -1 };

// Answers the client's waiting request. CLIENT_GONE when the client is to
// be disconnected: it left, sent a message longer than the buffer, or does
// not read its replies (a full queue is not waited for).
static int answer_client(served_client* client, control_handler handler) {
  alignas(8) uint8_t buffer[CONTROL_MESSAGE_SIZE];
  iovec part{buffer, sizeof buffer};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  ssize_t n = recvmsg(client->connection, &message, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return CLIENT_QUIET;
  if (n <= 0 || (message.msg_flags & MSG_TRUNC)) return CLIENT_GONE;
  size_t reply_length = 0;
  if (!handler(buffer, sizeof buffer, static_cast<size_t>(n), &reply_length, &client->who)) return CLIENT_GONE;
  if (send(client->connection, buffer, reply_length, MSG_NOSIGNAL | MSG_DONTWAIT) !=
      static_cast<ssize_t>(reply_length))
    return CLIENT_GONE;
  return CLIENT_ANSWERED;
}

// One loop polls the listening socket and up to CONTROL_CLIENTS_MAX
// clients, so that no client, however busy, keeps another out: each is
// answered in turn, a silent one leaves after CONTROL_IDLE_SECONDS, and a
// newcomer beyond the limit takes the place of client_to_drop's choice.
int serve_control_channel(intptr_t channel, control_handler handler) {
  int listener = static_cast<int>(channel);
  served_client clients[CONTROL_CLIENTS_MAX];
  int count = 0;
  uint64_t turn = 0;
  for (;;) {
    int64_t now = monotonic_now_ms();
    int64_t wait = -1;
    for (int i = 0; i < count;) {
      int64_t left = clients[i].deadline - now;
      if (left <= 0) {
        drop_client(clients, &count, i);  // silent too long
        continue;
      }
      if (wait < 0 || left < wait) wait = left;
      i++;
    }
    pollfd waits[2 + CONTROL_CLIENTS_MAX];
    waits[0] = {wake_pipe[0], POLLIN, 0};
    waits[1] = {listener, POLLIN, 0};
    for (int i = 0; i < count; i++) waits[2 + i] = {clients[i].connection, POLLIN, 0};
    int polled = count;
    int ready = poll(waits, static_cast<nfds_t>(2 + polled), static_cast<int>(wait));
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (waits[0].revents) break;
    // The clients first, so that a newcomer never pushes out one whose
    // request is already waiting. Backwards, since a dropped client's place
    // takes the last one's.
    for (int i = polled - 1; i >= 0; i--) {
      if (!waits[2 + i].revents) continue;
      int outcome = answer_client(&clients[i], handler);
      if (outcome == CLIENT_GONE) {
        drop_client(clients, &count, i);
      } else if (outcome == CLIENT_ANSWERED) {
        clients[i].deadline = monotonic_now_ms() + CONTROL_IDLE_SECONDS * 1000;
        clients[i].last_turn = ++turn;
      }
    }
    if (waits[1].revents & POLLIN) {
      int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) {
        if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
        break;
      }
      if (count == CONTROL_CLIENTS_MAX) drop_client(clients, &count, client_to_drop(clients, count));
      served_client& added = clients[count++];
      added.connection = connection;
      read_client(connection, &added.who);
      added.deadline = monotonic_now_ms() + CONTROL_IDLE_SECONDS * 1000;
      added.last_turn = ++turn;
    }
  }
  while (count > 0) drop_client(clients, &count, count - 1);
  return 1;
}

int wake_control_channel() {
  char wake = 1;
  return write(wake_pipe[1], &wake, 1) == 1;
}

void close_control_channel(intptr_t channel) {
  if (channel != -1) close(static_cast<int>(channel));
  // Our file only: a later server may have replaced it already. Once the
  // process gave up root, the directory may no longer let us; the next
  // server then replaces the file as stale.
  struct stat st;
  if (!bound_path.empty() && lstat(bound_path.c_str(), &st) == 0 && st.st_dev == bound_device &&
      st.st_ino == bound_inode)
    unlink(bound_path.c_str());
  bound_path.clear();
  for (int& end : wake_pipe) {
    if (end != -1) close(end);
    end = -1;
  }
}
