// The ceiling of the windowed benchmark: how fast this machine moves plain
// UDP datagrams over loopback with no protocol at all. One thread sends
// COUNT datagrams of SIZE bytes with sendmmsg as fast as it can, another
// drains them with recvmmsg; the receiver's clock runs from its first
// datagram to its last, so thread start-up is not counted. With "segmented"
// each message of the batch carries up to 64 datagrams that the kernel
// splits (UDP_SEGMENT), as harrier sends a window where the kernel allows.
//
//     udp_blast COUNT SIZE [plain|segmented]
//
// Prints one line: "sent N received M seconds S" (S of the receiver).
// Exit code 0 when something was received, 1 on bad arguments or a socket
// failure, 2 when nothing arrived.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "monotonic_clock.h"

namespace {

constexpr int BLAST_BATCH = 64;                   // datagrams per system call
constexpr int BLAST_BUFFER_BYTES = 32 << 20;      // socket buffers, both ends
constexpr long BLAST_COUNT_MAX = 10'000'000;
constexpr long BLAST_SIZE_MAX = 65'507;           // the most an IPv4 datagram holds
constexpr int BLAST_QUIET_MS = 300;               // receiver gives up after this long without a datagram
constexpr int BLAST_RUN_SECONDS = 60;             // and after this long in all
constexpr long BLAST_SEGMENTS_MAX = 64;           // datagrams per segmented message
constexpr long BLAST_PAYLOAD_MAX = 65'507;        // bytes the kernel splits at once

struct blast_result {
  long received = 0;
  double first = 0;
  double last = 0;
};

long parse_count(const char* text, long low, long high) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != 0 || value < low || value > high) return -1;
  return value;
}

// Asks for big buffers, past the system's limit where we are allowed to.
void size_buffers(int s) {
  int bytes = BLAST_BUFFER_BYTES;
  if (setsockopt(s, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0) {
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  }
  if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
}

void drain(int s, long count, long size, const std::atomic<int>* sending_done, blast_result* out) {
  std::vector<uint8_t> buffers(static_cast<size_t>(BLAST_BATCH) * static_cast<size_t>(size));
  mmsghdr messages[BLAST_BATCH];
  iovec iov[BLAST_BATCH];
  double deadline = monotonic_seconds() + BLAST_RUN_SECONDS;
  double quiet_since = monotonic_seconds();
  while (out->received < count) {
    std::memset(messages, 0, sizeof messages);
    for (int i = 0; i < BLAST_BATCH; i++) {
      iov[i].iov_base = buffers.data() + static_cast<size_t>(i) * static_cast<size_t>(size);
      iov[i].iov_len = static_cast<size_t>(size);
      messages[i].msg_hdr.msg_iov = &iov[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(s, messages, BLAST_BATCH, MSG_WAITFORONE, nullptr);
    double now = monotonic_seconds();
    if (n > 0) {
      if (out->received == 0) out->first = now;
      out->received += n;
      out->last = now;
      quiet_since = now;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;
    // Datagrams the kernel dropped never come: stop once the sender has
    // finished and the socket stayed empty for a while.
    if (now >= deadline) return;
    if (sending_done->load() && now - quiet_since >= BLAST_QUIET_MS / 1000.0) return;
  }
}

// Sends count datagrams of size bytes, per_message of them in each message
// (more than one only on a socket with UDP_SEGMENT set); returns how many
// went out, or -1 on a failure.
long blast(int s, long count, long size, long per_message) {
  std::vector<uint8_t> payload(static_cast<size_t>(size * per_message), 0x5a);
  mmsghdr messages[BLAST_BATCH];
  iovec iov[BLAST_BATCH];
  long sent = 0;
  double deadline = monotonic_seconds() + BLAST_RUN_SECONDS;
  while (sent < count && monotonic_seconds() < deadline) {
    std::memset(messages, 0, sizeof messages);
    int batch = 0;
    long queued = 0;
    for (; batch < BLAST_BATCH && sent + queued < count; batch++) {
      long n = count - sent - queued < per_message ? count - sent - queued : per_message;
      iov[batch].iov_base = payload.data();
      iov[batch].iov_len = static_cast<size_t>(n * size);
      messages[batch].msg_hdr.msg_iov = &iov[batch];
      messages[batch].msg_hdr.msg_iovlen = 1;
      queued += n;
    }
    int done = sendmmsg(s, messages, static_cast<unsigned>(batch), 0);
    if (done < 0) {
      // A full queue of the loopback device is a drop too, not a failure.
      if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) continue;
      return -1;
    }
    for (int i = 0; i < done; i++) sent += static_cast<long>(iov[i].iov_len) / size;
  }
  return sent;
}

}  // namespace

int main(int argc, char** argv) {
  int arguments_fit = argc == 3 || argc == 4;
  long count = arguments_fit ? parse_count(argv[1], 1, BLAST_COUNT_MAX) : -1;
  long size = arguments_fit ? parse_count(argv[2], 1, BLAST_SIZE_MAX) : -1;
  int segmented = argc == 4 && std::strcmp(argv[3], "segmented") == 0;
  if (count < 0 || size < 0 || (argc == 4 && !segmented && std::strcmp(argv[3], "plain") != 0)) {
    std::fprintf(stderr, "usage: udp_blast COUNT SIZE [plain|segmented] (COUNT 1..%ld, SIZE 1..%ld)\n",
                 BLAST_COUNT_MAX, BLAST_SIZE_MAX);
    return 1;
  }
  int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  int sender = socket(AF_INET, SOCK_DGRAM, 0);
  if (receiver < 0 || sender < 0) {
    std::perror("socket");
    return 1;
  }
  size_buffers(receiver);
  size_buffers(sender);
  timeval wait{0, 50'000};  // lets the receiver look at its deadlines
  setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("loopback socket");
    return 1;
  }

  long per_message = 1;
  if (segmented) {
    per_message = BLAST_PAYLOAD_MAX / size < BLAST_SEGMENTS_MAX ? BLAST_PAYLOAD_MAX / size : BLAST_SEGMENTS_MAX;
    int segment = static_cast<int>(size);
    if (per_message < 2 || setsockopt(sender, SOL_UDP, UDP_SEGMENT, &segment, sizeof segment) != 0) {
      std::fprintf(stderr, "UDP_SEGMENT not usable for %ld-byte datagrams\n", size);
      return 1;
    }
  }

  std::atomic<int> sending_done{0};
  blast_result result;
  std::thread reader(drain, receiver, count, size, &sending_done, &result);
  long sent = blast(sender, count, size, per_message);
  sending_done.store(1);
  reader.join();
  close(sender);
  close(receiver);
  if (sent < 0) {
    std::perror("sendmmsg");
    return 1;
  }
  std::printf("sent %ld received %ld seconds %.6f\n", sent, result.received, result.last - result.first);
  return result.received > 0 ? 0 : 2;
}
