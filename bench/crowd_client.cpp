// A boot storm from one process: N TFTP reads of the same file at once, each
// block acknowledged a fixed delay after it arrives, every byte checked
// against the pattern the benchmark wrote (crowd_byte). One epoll loop; the
// delayed ACKs leave in arrival order, so a FIFO is their timer.
//
//   crowd_client HOST PORT FILE SIZE N [ACK_DELAY_MS] [DEADLINE_S]
//
// Prints one line: done, failed, byte errors, and the last and median
// completion in seconds from the first request sent (the last of those that
// completed; the median of all N, a failed read counting as never done).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "monotonic_clock.h"

constexpr int BLOCK = 1428;
constexpr int64_t RESEND_NS = 1'000'000'000;  // a second without progress: the last packet again
constexpr int RETRIES_MAX = 10;

// The file's byte at offset i; the benchmark script writes the same.
static uint8_t crowd_byte(uint64_t i) { return static_cast<uint8_t>((i ^ (i >> 8) ^ (i >> 16)) * 131u); }

enum { STATE_ASKING, STATE_READING, STATE_DONE, STATE_FAILED };

struct reader {
  int fd;
  int state;
  uint16_t server_port;  // the transfer's port (network order), 0 until the first answer
  uint32_t expected;     // next block
  uint64_t received;
  int64_t last_activity_ns;
  int64_t done_ns;
  int retries;
  uint8_t last_packet[64];
  size_t last_length;
};

struct due_ack {
  int index;
  uint32_t block;
  int64_t due_ns;
};

static sockaddr_in server_address;

static void send_to_server(reader& r, const uint8_t* packet, size_t length) {
  sockaddr_in to = server_address;
  if (r.server_port) to.sin_port = r.server_port;
  sendto(r.fd, packet, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  memcpy(r.last_packet, packet, length);
  r.last_length = length;
}

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: crowd_client HOST PORT FILE SIZE N [ACK_DELAY_MS] [DEADLINE_S]\n");
    return 2;
  }
  const char* file = argv[3];
  uint64_t size = strtoull(argv[4], nullptr, 10);
  int count = atoi(argv[5]);
  int64_t delay_ns = (argc > 6 ? atoll(argv[6]) : 20) * 1'000'000;
  int64_t deadline_ns = monotonic_ns() + (argc > 7 ? atoll(argv[7]) : 120) * 1'000'000'000;
  server_address.sin_family = AF_INET;
  server_address.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
  if (count < 1 || strlen(file) > 200 || inet_pton(AF_INET, argv[1], &server_address.sin_addr) != 1) {
    fprintf(stderr, "crowd_client: bad host, file or count\n");
    return 2;
  }
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::min<rlim_t>(files.rlim_max, static_cast<rlim_t>(count) + 64);
  setrlimit(RLIMIT_NOFILE, &files);

  int poller = epoll_create1(EPOLL_CLOEXEC);
  std::vector<reader> readers(static_cast<size_t>(count));
  uint8_t rrq[256];
  size_t rrq_length = static_cast<size_t>(
      snprintf(reinterpret_cast<char*>(rrq) + 2, sizeof rrq - 2, "%s%coctet%cblksize%c%d", file, 0, 0, 0, BLOCK) + 3);
  rrq[0] = 0;
  rrq[1] = 1;
  for (int i = 0; i < count; i++) {
    reader& r = readers[static_cast<size_t>(i)];
    r = reader{};
    r.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (r.fd < 0) {
      fprintf(stderr, "crowd_client: socket %d: %s\n", i, strerror(errno));
      return 3;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(poller, EPOLL_CTL_ADD, r.fd, &event);
    r.expected = 1;
  }
  int64_t start_ns = monotonic_ns();
  for (reader& r : readers) {
    r.last_activity_ns = monotonic_ns();
    send_to_server(r, rrq, rrq_length);
  }

  std::vector<due_ack> acks;  // FIFO: every ACK waits the same delay
  size_t ack_head = 0;
  int finished = 0;
  uint64_t byte_errors = 0;
  int64_t next_scan_ns = start_ns + 100'000'000;
  std::vector<epoll_event> events(256);
  uint8_t packet[BLOCK + 64];
  while (finished < count && monotonic_ns() < deadline_ns) {
    int64_t now = monotonic_ns();
    int64_t wake = next_scan_ns;
    if (ack_head < acks.size()) wake = std::min(wake, acks[ack_head].due_ns);
    int timeout_ms = wake > now ? static_cast<int>((wake - now + 999'999) / 1'000'000) : 0;
    int n = epoll_wait(poller, events.data(), static_cast<int>(events.size()), timeout_ms);
    now = monotonic_ns();
    for (int e = 0; e < n; e++) {
      int i = static_cast<int>(events[static_cast<size_t>(e)].data.u32);
      reader& r = readers[static_cast<size_t>(i)];
      for (;;) {
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        ssize_t got = recvfrom(r.fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
        if (got < 0) break;
        if (got < 4 || r.state >= STATE_DONE || from.sin_addr.s_addr != server_address.sin_addr.s_addr) continue;
        if (r.server_port == 0) r.server_port = from.sin_port;
        if (from.sin_port != r.server_port) continue;
        int opcode = packet[0] << 8 | packet[1];
        uint32_t number = static_cast<uint32_t>(packet[2] << 8 | packet[3]);
        if (opcode == 5) {
          r.state = STATE_FAILED;
          finished++;
          break;
        }
        if (opcode == 6 && r.state == STATE_ASKING) {
          r.state = STATE_READING;
          r.last_activity_ns = now;
          acks.push_back(due_ack{i, 0, now + delay_ns});
          continue;
        }
        if (opcode != 3 || number != (r.expected & 0xFFFFu)) continue;
        size_t payload = static_cast<size_t>(got) - 4;
        uint64_t offset = static_cast<uint64_t>(r.expected - 1) * BLOCK;
        for (size_t k = 0; k < payload; k++)
          if (packet[4 + k] != crowd_byte(offset + k)) byte_errors++;
        r.state = STATE_READING;
        r.received += payload;
        r.last_activity_ns = now;
        acks.push_back(due_ack{i, r.expected, now + delay_ns});
        r.expected++;
        if (payload < BLOCK) {
          r.state = STATE_DONE;
          r.done_ns = now;
          if (r.received != size) byte_errors++;
          finished++;
        }
      }
    }
    // The delayed ACKs that are due, the last one of a finished read too.
    while (ack_head < acks.size() && acks[ack_head].due_ns <= now) {
      due_ack a = acks[ack_head++];
      reader& r = readers[static_cast<size_t>(a.index)];
      if (r.state == STATE_FAILED) continue;
      uint8_t ack[4] = {0, 4, static_cast<uint8_t>(a.block >> 8), static_cast<uint8_t>(a.block)};
      send_to_server(r, ack, sizeof ack);
    }
    if (ack_head > 4096 && ack_head * 2 > acks.size()) {
      acks.erase(acks.begin(), acks.begin() + static_cast<long>(ack_head));
      ack_head = 0;
    }
    if (now >= next_scan_ns) {
      next_scan_ns = now + 100'000'000;
      for (reader& r : readers) {
        if (r.state >= STATE_DONE || now - r.last_activity_ns < RESEND_NS) continue;
        if (++r.retries > RETRIES_MAX) {
          r.state = STATE_FAILED;
          finished++;
          continue;
        }
        r.last_activity_ns = now;
        send_to_server(r, r.last_packet, r.last_length);
      }
    }
  }
  std::vector<double> times;
  int done = 0;
  for (const reader& r : readers) {
    if (r.state == STATE_DONE) {
      done++;
      times.push_back(static_cast<double>(r.done_ns - start_ns) / 1e9);
    }
    close(r.fd);
  }
  std::sort(times.begin(), times.end());
  double last = times.empty() ? 0 : times.back();
  // The median of all N: a read that failed never completes, so it counts
  // as later than every completed one (inf when half or more failed).
  double median = times.size() > static_cast<size_t>(count) / 2 ? times[static_cast<size_t>(count) / 2] : 1.0 / 0.0;
  printf("done=%d failed=%d byte_errors=%llu last=%.3f median=%.3f\n", done, count - done,
         static_cast<unsigned long long>(byte_errors), last, median);
  return done == count && byte_errors == 0 ? 0 : 1;
}
