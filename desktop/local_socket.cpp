#include "desktop/local_socket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

static socklen_t abstract_address(const std::string& name, sockaddr_un* address) {
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  size_t length = name.size() < sizeof address->sun_path - 1 ? name.size() : sizeof address->sun_path - 1;
  memcpy(address->sun_path + 1, name.data(), length);  // sun_path[0] stays 0: abstract
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

int local_listen(const std::string& name) {
  sockaddr_un address;
  socklen_t length = abstract_address(name, &address);
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(s, 8) != 0) {
    int saved = errno;
    close(s);
    errno = saved;
    return -1;
  }
  return s;
}

int local_connect(const std::string& name) {
  sockaddr_un address;
  socklen_t length = abstract_address(name, &address);
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  if (connect(s, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(s);
    return -1;
  }
  return s;
}

int peer_is_same_user(int socket) {
  ucred peer;
  socklen_t length = sizeof peer;
  if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return 0;
  return peer.uid == getuid();
}

int read_line(int socket, std::string* line, size_t limit, int deadline_ms) {
  line->clear();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    pollfd p = {socket, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
    char c;
    ssize_t n = recv(socket, &c, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    if (c == '\n') return 1;
    if (line->size() >= limit) return 0;
    line->push_back(c);
  }
}

int write_text(int socket, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = send(socket, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    done += static_cast<size_t>(n);
  }
  return 1;
}

int accept_same_user(int listener) {
  for (;;) {
    int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return -1;
    }
    if (peer_is_same_user(s)) return s;
    close(s);
  }
}
