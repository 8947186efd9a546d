#include "service/service_control.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/server_loop.h"
#include "core/settings.h"
#include "platform/event_log.h"
#include "platform/service_manager.h"

std::atomic<int> debug_mode{0};
service_status status_record{};
std::atomic<int> service_exit_code{0};
static std::atomic<int> running_report_failed{0};
std::atomic<uint32_t> check_point{1};
// Orders the stop-pending report before the stopped one: the server loop can
// return, and the service report stopped, before the stop control reports.
static std::mutex stop_lock;

int format_service_notification(uint32_t state, uint32_t check_point_value, uint32_t wait_hint, uint32_t port,
                                char* buffer, size_t size) {
  unsigned long long extend = static_cast<unsigned long long>(wait_hint) * 1000ull;
  switch (state) {
    case SERVICE_STATE_START_PENDING:
      return snprintf(buffer, size, "STATUS=Start pending, check point %u\nEXTEND_TIMEOUT_USEC=%llu\n",
                      check_point_value, extend);
    case SERVICE_STATE_RUNNING:
      return snprintf(buffer, size, "READY=1\nSTATUS=Running, listening on TFTP port %u\n", port);
    case SERVICE_STATE_STOP_PENDING:
      return snprintf(buffer, size, "STOPPING=1\nSTATUS=Stop pending, check point %u\nEXTEND_TIMEOUT_USEC=%llu\n",
                      check_point_value, extend);
    default:
      return snprintf(buffer, size, "STATUS=Stopped\n");
  }
}

int report_service_status(uint32_t state, uint32_t exit_code, uint32_t wait_hint) {
  if (debug_mode) return 1;
  status_record.controls_accepted = state == SERVICE_STATE_START_PENDING ? 0 : SERVICE_CONTROL_STOP;
  status_record.current_state = state;
  status_record.win32_exit_code = exit_code;
  status_record.wait_hint = wait_hint;
  if (state == SERVICE_STATE_RUNNING || state == SERVICE_STATE_STOPPED)
    status_record.check_point = 0;
  else
    status_record.check_point = check_point.fetch_add(1);
  char text[160];
  format_service_notification(state, status_record.check_point, wait_hint, Port.load(), text, sizeof text);
  service_report report{status_record.service_type,  status_record.current_state,
                        status_record.controls_accepted, status_record.win32_exit_code,
                        status_record.service_specific_exit_code, status_record.check_point,
                        status_record.wait_hint};
  if (!notify_service_manager(&report, text)) {
    log_service_error("SetServiceStatus");
    return 0;
  }
  return 1;
}

void log_service_error(const char* message) {
  if (!debug_mode) write_service_error(message);
}

void write_service_error(const char* message) {
  int error = last_system_error();
  char first[64];
  snprintf(first, sizeof first, "%s error: %d", SERVICE_NAME, error);
  write_event_log_error(SERVICE_NAME, first, message);
}

char* last_error_text(char* buffer, size_t size) {
  int error = last_system_error();
  char text[256];
  const char* message = system_error_message(error, text, sizeof text);
  if (message && strlen(message) + 14 <= size)
    snprintf(buffer, size, "%s (0x%x)", message, static_cast<unsigned>(error));
  else if (size > 0)
    buffer[0] = '\0';
  return buffer;
}

void stop_service() {
  std::lock_guard<std::mutex> hold(stop_lock);
  stop_server();
  report_service_status(SERVICE_STATE_STOP_PENDING, 0, 3000);
}

void service_control_handler(uint32_t control) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;
  status_record.current_state = SERVICE_STATE_STOP_PENDING;
  stop_service();
}

void report_service_running() {
  // A manager that never hears "ready" ends the service itself after its
  // start time-out; stopping at once makes that a clean, logged failure.
  if (!report_service_status(SERVICE_STATE_RUNNING, 0, 0)) {
    running_report_failed = 1;
    stop_server();
  }
}

void run_service(int argument_count, char** arguments) {
  // Running is reported by report_service_running once the server's port is
  // bound: a manager told earlier would let requests in before anyone listens.
  running_report_failed = 0;
  int started = report_service_status(SERVICE_STATE_START_PENDING, 0, 3000);
  if (started && server_loop(argument_count, arguments) != 0) started = 0;
  if (!started || running_report_failed) {
    // The administrator who started the program learns which port and why,
    // in the console or in the journal that holds a service's errors.
    std::string bind_failure = server_bind_failure();
    if (!bind_failure.empty()) {
      fprintf(stderr, "harrier: %s\n", bind_failure.c_str());
      fflush(stderr);
    }
    std::string why = server_start_failure();
    if (!why.empty()) log_service_error(why.c_str());
    log_service_error("Unable to start service");
    service_exit_code = 1;
  }
}

void service_main(int argument_count, char** arguments) {
  status_record.service_type = SERVICE_WIN32_OWN_PROCESS;
  status_record.service_specific_exit_code = 0;
  if (report_service_status(SERVICE_STATE_START_PENDING, 0, 3000))
    run_service(argument_count, arguments);
  else
    service_exit_code = 1;
  std::lock_guard<std::mutex> hold(stop_lock);
  report_service_status(SERVICE_STATE_STOPPED, 0, 0);
}

int start_service_dispatcher() {
  // The manager starts a service with its name as the only argument.
  static char service_name[] = "TFTPService";
  static char* service_arguments[] = {service_name, nullptr};
  return run_service_dispatcher(service_main, service_control_handler, 1, service_arguments);
}
