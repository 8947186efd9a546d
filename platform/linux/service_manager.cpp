#include "platform/service_manager.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/path_names.h"
#include "platform/privileges.h"
#include "service_unit.h"

extern char** environ;

constexpr const char* UNIT_DIRECTORY = "/etc/systemd/system";
// Where the orvanel-tftpd package (or an install below /usr/local) puts its unit.
constexpr const char* PACKAGED_UNITS[] = {"/lib/systemd/system/orvanel-tftpd.service",
                                          "/usr/lib/systemd/system/orvanel-tftpd.service",
                                          "/usr/local/lib/systemd/system/orvanel-tftpd.service"};

// Stop controls arrive as SIGTERM; they are received here, on a thread of
// their own, the way the manager calls a control handler.
static void control_thread(void (*control_handler)(uint32_t), sigset_t controls) {
  for (;;) {
    int signal_number = 0;
    if (sigwait(&controls, &signal_number) != 0) return;
    if (signal_number == SIGTERM) control_handler(SERVICE_CONTROL_STOP);
  }
}

int run_service_dispatcher(void (*service_main)(int, char**), void (*control_handler)(uint32_t),
                           int argument_count, char** arguments) {
  const char* socket_path = getenv("NOTIFY_SOCKET");
  if (!socket_path || !*socket_path) {
    errno = ENOTCONN;  // no manager to talk to
    return 0;
  }
  sigset_t controls;
  sigemptyset(&controls);
  sigaddset(&controls, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &controls, nullptr);  // inherited by every later thread
  std::thread(control_thread, control_handler, controls).detach();
  std::thread service(service_main, argument_count, arguments);
  service.join();
  return 1;
}

int last_system_error() { return errno; }

const char* system_error_message(int error, char* buffer, unsigned size) {
  // The GNU strerror_r may return a static text instead of filling ours.
  const char* message = strerror_r(error, buffer, size);
  return message && *message ? message : nullptr;
}

int notify_service_manager(const service_report*, const char* text) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (!path || !*path) {
    errno = ENOTCONN;
    return 0;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t length = strlen(path);
  if (length >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return 0;
  }
  memcpy(address.sun_path, path, length);
  if (path[0] == '@') address.sun_path[0] = '\0';  // abstract name
  socklen_t address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return 0;
  ssize_t sent = sendto(s, text, strlen(text), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), address_length);
  int saved = errno;
  close(s);
  errno = saved;
  return sent == static_cast<ssize_t>(strlen(text)) ? 1 : 0;
}

int open_service_manager() {
  struct stat st;
  // The test systemd itself uses to tell whether it booted the machine.
  if (lstat("/run/systemd/system", &st) != 0) return 0;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return 0;
  }
  if (access(UNIT_DIRECTORY, W_OK) != 0) return 0;
  return 1;
}

static void service_unit_path(const char* service_name, char* buffer, unsigned size) {
  snprintf(buffer, size, "%s/%s.service", UNIT_DIRECTORY, service_name);
}

static void unit_name(const char* service_name, char* buffer, unsigned size) {
  snprintf(buffer, size, "%s.service", service_name);
}

// Starts the program arguments[0] (found on the PATH) with the arguments;
// its standard output goes to output_fd (or nowhere when -1), its errors
// nowhere. Returns the exit status or -1.
static int spawn_program(const char* const* arguments, int output_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (output_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, output_fd, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int failed = posix_spawnp(&pid, arguments[0], &actions, nullptr, const_cast<char* const*>(arguments), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed) {
    errno = failed;
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs "systemctl <verb> [--no-block] <unit>". Returns its exit status, or
// -1 when it could not run.
static int run_systemctl(const char* verb, const char* unit, int no_block) {
  const char* arguments[] = {"systemctl", verb, no_block ? "--no-block" : unit, no_block ? unit : nullptr, nullptr};
  return spawn_program(arguments, -1);
}

static int query_unit_state(const char* unit) {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return 0;
  const char* arguments[] = {"systemctl", "show", "--property=ActiveState", "--value", unit, nullptr};
  int status = spawn_program(arguments, pipe_ends[1]);
  close(pipe_ends[1]);
  char text[64] = {0};
  size_t have = 0;
  for (int i = 0; i < 16 && have < sizeof text - 1; i++) {
    ssize_t n = read(pipe_ends[0], text + have, sizeof text - 1 - have);
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  close(pipe_ends[0]);
  if (status != 0) {
    errno = ECHILD;
    return 0;
  }
  text[strcspn(text, "\r\n")] = '\0';
  if (strcmp(text, "active") == 0 || strcmp(text, "reloading") == 0) return SERVICE_STATE_RUNNING;
  if (strcmp(text, "activating") == 0) return SERVICE_STATE_START_PENDING;
  if (strcmp(text, "deactivating") == 0) return SERVICE_STATE_STOP_PENDING;
  if (strcmp(text, "inactive") == 0 || strcmp(text, "failed") == 0) return SERVICE_STATE_STOPPED;
  errno = EPROTO;
  return 0;
}

int query_service_state(const char* name) {
  char unit[256];
  unit_name(name, unit, sizeof unit);
  return query_unit_state(unit);
}

// Writes the unit file of a new service; fails with EEXIST when the service
// exists already.
static int write_unit_file(const char* unit_path, const std::string& text) {
  int fd = open(unit_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      int saved = n < 0 ? errno : EIO;
      close(fd);
      unlink(unit_path);
      errno = saved;
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    int saved = errno;
    unlink(unit_path);
    errno = saved;
    return 0;
  }
  return 1;
}

// The service's own system user, as Debian's TFTP servers have it, and the
// directory served when no root is stored, owned by that user so that
// uploads can land there. Returns 1, or 0 with errno set.
static int prepare_service_user() {
  char root[64];
  size_t length = default_root_directory(root, sizeof root);
  std::string home(root, length > 1 ? length - 1 : length);  // without its trailing "/"
  char user[64];
  uint32_t uid, gid;
  if (!find_service_user(user, sizeof user, &uid, &gid) || strcmp(user, SERVICE_USER) != 0) {
    const char* add[] = {"useradd", "--system", "--user-group", "--home-dir", home.c_str(), "--no-create-home",
                         "--shell", "/usr/sbin/nologin", "--comment", "TFTP server", SERVICE_USER, nullptr};
    if (spawn_program(add, -1) != 0 || !find_service_user(user, sizeof user, &uid, &gid) ||
        strcmp(user, SERVICE_USER) != 0) {
      errno = ESRCH;
      return 0;
    }
  }
  struct stat st;
  if (lstat(home.c_str(), &st) != 0) {
    std::string parent = home.substr(0, home.rfind('/'));
    if (!parent.empty() && mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return 0;
    if (mkdir(home.c_str(), 0755) != 0) return 0;
    if (chown(home.c_str(), uid, gid) != 0) return 0;
  }
  return 1;
}

// The unit file, known to systemd and enabled to start at boot; the unit's
// description is the display name the generator writes.
int create_installed_service(const char* name, const char*, const char* executable_path) {
  // The package's unit already serves port 69 as tftp: a second service
  // would fight it for the port, and the loser would restart for ever.
  for (const char* packaged : PACKAGED_UNITS) {
    if (access(packaged, F_OK) != 0) continue;
    fprintf(stderr, "%s is installed by the package: use \"systemctl enable --now orvanel-tftpd\"\n", packaged);
    errno = EEXIST;
    return 0;
  }
  if (!prepare_service_user()) return 0;
  std::string text = format_service_unit(executable_path, SERVICE_USER);
  if (text.empty()) {
    errno = EINVAL;
    return 0;
  }
  char unit_path[256], unit[256];
  service_unit_path(name, unit_path, sizeof unit_path);
  unit_name(name, unit, sizeof unit);
  if (!write_unit_file(unit_path, text)) return 0;
  if (run_systemctl("daemon-reload", nullptr, 0) != 0 || run_systemctl("enable", unit, 0) != 0) {
    unlink(unit_path);
    run_systemctl("daemon-reload", nullptr, 0);
    errno = EIO;
    return 0;
  }
  return 1;
}

int start_installed_service(const char* name) {
  char unit[256];
  unit_name(name, unit, sizeof unit);
  return run_systemctl("start", unit, 1) == 0;
}

int open_installed_service(const char* name) {
  char unit_path[256];
  service_unit_path(name, unit_path, sizeof unit_path);
  return access(unit_path, F_OK) == 0;
}

int send_stop_control(const char* name, uint32_t* state) {
  char unit[256];
  unit_name(name, unit, sizeof unit);
  // The stop control is accepted only by a service that runs.
  int now = query_unit_state(unit);
  if (now != SERVICE_STATE_RUNNING && now != SERVICE_STATE_START_PENDING) {
    errno = ESRCH;
    return 0;
  }
  if (run_systemctl("stop", unit, 1) != 0) return 0;
  now = query_unit_state(unit);
  if (now) *state = static_cast<uint32_t>(now);
  return 1;
}

int delete_installed_service(const char* name) {
  char unit_path[256], unit[256];
  service_unit_path(name, unit_path, sizeof unit_path);
  unit_name(name, unit, sizeof unit);
  run_systemctl("disable", unit, 0);
  int deleted = unlink(unit_path) == 0;
  int saved = errno;
  run_systemctl("daemon-reload", nullptr, 0);
  errno = saved;
  return deleted;
}
