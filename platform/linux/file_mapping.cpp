#include "platform/file_mapping.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <new>

struct file_mapping {
  void* base;
  size_t length;
};

// A copy from a mapping whose file was truncated meanwhile touches pages
// that no longer exist, and the kernel answers with SIGBUS. The handler
// returns such a fault to the copy that caused it; any other SIGBUS keeps
// its default effect.
static thread_local sigjmp_buf* copy_guard = nullptr;
static struct sigaction previous_bus_action;
static pthread_once_t bus_handler_once = PTHREAD_ONCE_INIT;

static void on_bus_error(int signal_number, siginfo_t* info, void* context) {
  if (copy_guard) siglongjmp(*copy_guard, 1);
  // Not ours: behave as if we had never been there.
  if (previous_bus_action.sa_flags & SA_SIGINFO) {
    if (previous_bus_action.sa_sigaction) return previous_bus_action.sa_sigaction(signal_number, info, context);
  } else if (previous_bus_action.sa_handler != SIG_IGN && previous_bus_action.sa_handler != SIG_DFL) {
    return previous_bus_action.sa_handler(signal_number);
  }
  signal(SIGBUS, SIG_DFL);
  raise(SIGBUS);
}

static void install_bus_handler() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &previous_bus_action);
}

file_mapping* map_file_descriptor(int fd, uint64_t size) {
  if (size == 0 || size >= (1ULL << 32)) return nullptr;
  pthread_once(&bus_handler_once, install_bus_handler);
  size_t length = static_cast<size_t>(size);
  void* base = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return nullptr;
  madvise(base, length, MADV_SEQUENTIAL);
  file_mapping* m = new (std::nothrow) file_mapping{base, length};
  if (!m) munmap(base, length);
  return m;
}

const uint8_t* map_file_view(file_mapping* mapping) {
  return mapping ? static_cast<const uint8_t*>(mapping->base) : nullptr;
}

int copy_from_mapping(const file_mapping* mapping, uint64_t offset, uint8_t* out, size_t length) {
  if (offset > mapping->length || length > mapping->length - offset) return 0;
  sigjmp_buf guard;
  if (sigsetjmp(guard, 1) != 0) {
    copy_guard = nullptr;
    return 0;
  }
  copy_guard = &guard;
  // The fences keep the compiler from moving the copy out of the guarded stretch.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  memcpy(out, static_cast<const uint8_t*>(mapping->base) + offset, length);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  copy_guard = nullptr;
  return 1;
}

void close_file_mapping(file_mapping* mapping) {
  if (!mapping) return;
  munmap(mapping->base, mapping->length);
  delete mapping;
}
