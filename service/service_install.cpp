#include "service/service_install.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/program_path.h"
#include "platform/service_manager.h"
#include "service/service_control.h"

constexpr int STOP_POLLS = 30;

int install_service() {
  char executable_path[512];
  char error[LAST_ERROR_TEXT_SIZE];
  if (module_file_path(executable_path, sizeof executable_path) == 0) {
    printf("Unable to install %s - %s\n", SERVICE_DISPLAY_NAME, last_error_text(error, sizeof error));
    return 0;
  }
  if (!open_service_manager()) {
    printf("OpenSCManager failed - %s\n", last_error_text(error, sizeof error));
    return 0;
  }
  if (create_installed_service(SERVICE_NAME, SERVICE_DISPLAY_NAME, executable_path)) {
    printf("%s installed.\n", SERVICE_DISPLAY_NAME);
    start_installed_service(SERVICE_NAME);
    printf("%s started.\n", SERVICE_DISPLAY_NAME);
    return 1;
  }
  printf("%s service installation failed - %s\n", SERVICE_DISPLAY_NAME, last_error_text(error, sizeof error));
  return 0;
}

int stop_installed_service(const char* name) {
  uint32_t state = status_record.current_state;
  if (send_stop_control(name, &state)) {
    status_record.current_state = state;
    printf("Stopping %s.", SERVICE_DISPLAY_NAME);
    fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (int i = 0; i < STOP_POLLS; i++) {
      int now = query_service_state(name);
      if (!now) break;
      status_record.current_state = static_cast<uint32_t>(now);
      if (now != SERVICE_STATE_STOP_PENDING) break;
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

int remove_service() {
  char error[LAST_ERROR_TEXT_SIZE];
  if (!open_service_manager()) {
    printf("OpenSCManager failed - %s\n", last_error_text(error, sizeof error));
    return 0;
  }
  if (!open_installed_service(SERVICE_NAME)) {
    printf("%s failed to access service - %s\n", SERVICE_DISPLAY_NAME, last_error_text(error, sizeof error));
    return 0;
  }
  stop_installed_service(SERVICE_NAME);
  if (delete_installed_service(SERVICE_NAME)) {
    printf("%s deleted.\n", SERVICE_DISPLAY_NAME);
    return 1;
  }
  printf("%s failed to delete service - %s\n", SERVICE_DISPLAY_NAME, last_error_text(error, sizeof error));
  return 0;
}
