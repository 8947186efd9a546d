#include "service/service_install.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/program_path.h"
#include "platform/service_manager.h"
#include "service/service_control.h"
#include "service/service_unit.h"

constexpr const char* SERVICE_UNIT = "TFTPService.service";
constexpr int STOP_POLLS = 30;

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

// Creates the service: the unit file, known to systemd and enabled to start
// at boot. Nothing is left behind when a step fails.
static int create_service(const char* executable_path) {
  std::string text = format_service_unit(executable_path);
  if (text.empty()) {
    errno = EINVAL;
    return 0;
  }
  char unit_path[256];
  service_unit_path(SERVICE_NAME, unit_path, sizeof unit_path);
  if (!write_unit_file(unit_path, text)) return 0;
  if (run_systemctl("daemon-reload", nullptr, 0) != 0 || run_systemctl("enable", SERVICE_UNIT, 0) != 0) {
    unlink(unit_path);
    run_systemctl("daemon-reload", nullptr, 0);
    errno = EIO;
    return 0;
  }
  return 1;
}

void install_service() {
  char executable_path[512];
  char error[LAST_ERROR_TEXT_SIZE];
  if (module_file_path(executable_path, sizeof executable_path) == 0) {
    printf("Unable to install %s - %s\n", SERVICE_DISPLAY_NAME, last_error_text(error, sizeof error));
    return;
  }
  if (!open_service_manager()) {
    printf("OpenSCManager failed - %s\n", last_error_text(error, sizeof error));
    return;
  }
  if (create_service(executable_path)) {
    printf("%s installed.\n", SERVICE_DISPLAY_NAME);
    run_systemctl("start", SERVICE_UNIT, 1);
    printf("%s started.\n", SERVICE_DISPLAY_NAME);
  } else {
    printf("%s service installation failed - %s\n", SERVICE_DISPLAY_NAME, last_error_text(error, sizeof error));
  }
}

int stop_installed_service(const char* unit) {
  // The stop control is accepted only by a service that runs.
  int state = query_service_state(unit);
  int accepted = (state == SERVICE_STATE_RUNNING || state == SERVICE_STATE_START_PENDING) &&
                 run_systemctl("stop", unit, 1) == 0;
  if (accepted) {
    state = query_service_state(unit);
    if (state) status_record.current_state = static_cast<uint32_t>(state);
    printf("Stopping %s.", SERVICE_DISPLAY_NAME);
    fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (int i = 0; i < STOP_POLLS; i++) {
      state = query_service_state(unit);
      if (!state) break;
      status_record.current_state = static_cast<uint32_t>(state);
      if (state != SERVICE_STATE_STOP_PENDING) break;
      printf(".");
      fflush(stdout);
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }
  if (status_record.current_state == SERVICE_STATE_STOPPED) {
    printf("\n%s stopped.\n", SERVICE_DISPLAY_NAME);
    return 1;
  }
  printf("\n%s failed to stop.\n", SERVICE_DISPLAY_NAME);
  return 0;
}

void remove_service() {
  char error[LAST_ERROR_TEXT_SIZE];
  if (!open_service_manager()) {
    printf("OpenSCManager failed - %s\n", last_error_text(error, sizeof error));
    return;
  }
  char unit_path[256];
  service_unit_path(SERVICE_NAME, unit_path, sizeof unit_path);
  if (access(unit_path, F_OK) != 0) {
    printf("%s failed to access service - %s\n", SERVICE_DISPLAY_NAME, last_error_text(error, sizeof error));
    return;
  }
  stop_installed_service(SERVICE_UNIT);
  run_systemctl("disable", SERVICE_UNIT, 0);
  if (unlink(unit_path) == 0)
    printf("%s deleted.\n", SERVICE_DISPLAY_NAME);
  else
    printf("%s failed to delete service - %s\n", SERVICE_DISPLAY_NAME, last_error_text(error, sizeof error));
  run_systemctl("daemon-reload", nullptr, 0);
}
