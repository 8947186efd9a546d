// A link with a fixed delay between two network namespaces, for kernels
// built without netem: one TUN device in each namespace, and every IP
// packet read from one is written to the other once its delay has passed.
// No loss and no reordering (each direction is one queue in arrival order);
// a full queue drops, as a real link's would.
//
//     delay_line NS_A DEV_A NS_B DEV_B A_TO_B_MICROSECONDS B_TO_A_MICROSECONDS SECONDS
//
// The devices exist while the program runs; it prints "ready" once both are
// made (the caller then gives them addresses) and ends on SIGINT or SIGTERM,
// or after SECONDS in any case. Exit code 0, or 1 when a device cannot be
// made.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "monotonic_clock.h"

namespace {

constexpr size_t DELAY_SLOT_BYTES = 2048;    // above the devices' MTU of 1500
constexpr size_t DELAY_QUEUE_SLOTS = 8192;   // packets held per direction
constexpr long DELAY_MICROSECONDS_MAX = 10'000'000;
constexpr long DELAY_SECONDS_MAX = 86'400;
constexpr int DELAY_READS_PER_WAKE = 64;

volatile sig_atomic_t delay_stop = 0;

struct delay_queue {
  std::vector<uint8_t> bytes;
  std::vector<int64_t> due;      // nanoseconds on the monotonic clock
  std::vector<uint16_t> length;
  size_t head = 0;
  size_t count = 0;
  int64_t delay = 0;
  long dropped = 0;
};

long parse_number(const char* text, long high) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != 0 || value < 0 || value > high) return -1;
  return value;
}

void on_signal(int) { delay_stop = 1; }

// Makes the TUN device in the named namespace (this thread moves into it).
int open_device(const char* ns, const char* device) {
  std::string path = std::string("/run/netns/") + ns;
  int ns_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (ns_fd < 0 || setns(ns_fd, CLONE_NEWNET) != 0) {
    std::fprintf(stderr, "namespace %s: %s\n", ns, std::strerror(errno));
    if (ns_fd >= 0) close(ns_fd);
    return -1;
  }
  close(ns_fd);
  int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "/dev/net/tun: %s\n", std::strerror(errno));
    return -1;
  }
  ifreq request{};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", device);
  if (ioctl(fd, TUNSETIFF, &request) != 0) {
    std::fprintf(stderr, "TUNSETIFF %s in %s: %s\n", device, ns, std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

void init_queue(delay_queue* q, long microseconds) {
  q->bytes.resize(DELAY_QUEUE_SLOTS * DELAY_SLOT_BYTES);
  q->due.resize(DELAY_QUEUE_SLOTS);
  q->length.resize(DELAY_QUEUE_SLOTS);
  q->delay = static_cast<int64_t>(microseconds) * 1000;
}

// Reads what the device has into the queue, each packet due after the delay.
void take(int fd, delay_queue* q) {
  uint8_t spill[65536];
  for (int i = 0; i < DELAY_READS_PER_WAKE; i++) {
    if (q->count == DELAY_QUEUE_SLOTS) {
      if (read(fd, spill, sizeof spill) < 0) return;
      q->dropped++;
      continue;
    }
    size_t slot = (q->head + q->count) % DELAY_QUEUE_SLOTS;
    uint8_t* at = q->bytes.data() + slot * DELAY_SLOT_BYTES;
    ssize_t n = read(fd, at, DELAY_SLOT_BYTES);
    if (n < 0) return;  // EAGAIN: drained
    if (n == 0) continue;
    q->due[slot] = monotonic_ns() + q->delay;
    q->length[slot] = static_cast<uint16_t>(n);
    q->count++;
  }
}

// Writes the packets whose time has come; returns the next due time, or -1.
int64_t give(int fd, delay_queue* q, int64_t now) {
  while (q->count > 0) {
    size_t slot = q->head;
    if (q->due[slot] > now) return q->due[slot];
    // A write the device refuses is a lost packet, as on a real link.
    if (write(fd, q->bytes.data() + slot * DELAY_SLOT_BYTES, q->length[slot]) < 0) q->dropped++;
    q->head = (q->head + 1) % DELAY_QUEUE_SLOTS;
    q->count--;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  long a_to_b = argc == 8 ? parse_number(argv[5], DELAY_MICROSECONDS_MAX) : -1;
  long b_to_a = argc == 8 ? parse_number(argv[6], DELAY_MICROSECONDS_MAX) : -1;
  long seconds = argc == 8 ? parse_number(argv[7], DELAY_SECONDS_MAX) : -1;
  if (a_to_b < 0 || b_to_a < 0 || seconds < 0) {
    std::fprintf(stderr, "usage: delay_line NS_A DEV_A NS_B DEV_B A_TO_B_US B_TO_A_US SECONDS\n");
    return 1;
  }
  int fd_a = open_device(argv[1], argv[2]);
  int fd_b = fd_a < 0 ? -1 : open_device(argv[3], argv[4]);
  if (fd_a < 0 || fd_b < 0) return 1;
  struct sigaction action{};
  action.sa_handler = on_signal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  delay_queue toward_b, toward_a;
  init_queue(&toward_b, a_to_b);
  init_queue(&toward_a, b_to_a);
  std::printf("ready\n");
  std::fflush(stdout);

  const int64_t end = monotonic_ns() + static_cast<int64_t>(seconds) * 1'000'000'000;
  while (!delay_stop) {
    int64_t now = monotonic_ns();
    if (now >= end) break;
    int64_t next_b = give(fd_b, &toward_b, now);
    int64_t next_a = give(fd_a, &toward_a, now);
    int64_t wake = end;
    if (next_b >= 0 && next_b < wake) wake = next_b;
    if (next_a >= 0 && next_a < wake) wake = next_a;
    int64_t wait = wake - now;
    timespec timeout{static_cast<time_t>(wait / 1'000'000'000), static_cast<long>(wait % 1'000'000'000)};
    pollfd fds[2] = {{fd_a, POLLIN, 0}, {fd_b, POLLIN, 0}};
    int ready = ppoll(fds, 2, &timeout, nullptr);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) {
      if (fds[0].revents & POLLIN) take(fd_a, &toward_b);
      if (fds[1].revents & POLLIN) take(fd_b, &toward_a);
    }
  }
  std::fprintf(stderr, "delay_line: dropped %ld toward %s, %ld toward %s\n", toward_b.dropped, argv[4],
               toward_a.dropped, argv[2]);
  close(fd_a);
  close(fd_b);
  return 0;
}
