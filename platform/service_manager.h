// The service manager: the dispatcher, status reports and the stop control
// (systemd on Linux, the service control manager on Windows), and the
// installing, stopping and removing of a service. Failures leave errno set on Linux, the thread's last error on
// Windows (last_system_error reads either), so that callers can describe them.
#pragma once

#include <cstdint>

// Service states and controls as the service program counts them.
enum {
  SERVICE_STATE_STOPPED = 1,
  SERVICE_STATE_START_PENDING = 2,
  SERVICE_STATE_STOP_PENDING = 3,
  SERVICE_STATE_RUNNING = 4,
};
enum { SERVICE_CONTROL_STOP = 1, SERVICE_CONTROL_SHUTDOWN = 5 };

// A status report, field for field the system's service status record.
struct service_report {
  uint32_t service_type;
  uint32_t current_state;
  uint32_t controls_accepted;
  uint32_t win32_exit_code;
  uint32_t service_specific_exit_code;
  uint32_t check_point;
  uint32_t wait_hint;
};

// The error number of the calling thread's last failed system call, and
// the system's text for one (without line end) in buffer, or nullptr when
// the system has none.
int last_system_error();
const char* system_error_message(int error, char* buffer, unsigned size);

// Runs service_main(argument_count, arguments) on a thread of its own while
// the calling thread's helper delivers stop controls (SIGTERM) to
// control_handler. arguments[0] is the service's name. Returns 1 after
// service_main returned, or 0 when the process was not started by the
// service manager (Linux: no NOTIFY_SOCKET). On Windows the control handler
// is registered on the service's thread before service_main runs;
// service_main is not called when that fails.
int run_service_dispatcher(void (*service_main)(int, char**), void (*control_handler)(uint32_t),
                           int argument_count, char** arguments);

// Reports a status to the manager: systemd gets the notification text
// ("READY=1\n…"), the service control manager the record. Returns 1 when
// it was sent, else 0.
int notify_service_manager(const service_report* report, const char* text);

// 1 when the service manager may be used to install and remove services
// (Linux: systemd runs this machine and its unit directory may be written
// by us), else 0 with the error set.
int open_service_manager();

// Installs the executable (its path as given, no arguments) as the service
// `name` with the display name, started automatically at boot, run by the
// system's own account (Linux: the unprivileged SERVICE_USER, created when
// missing, with the default root directory). Nothing is left behind when a
// step fails. Returns
// 1, or 0 with the error set.
int create_installed_service(const char* name, const char* display_name, const char* executable_path);

// Asks the manager to start the installed service, without waiting for it.
// Returns 1 when the manager took the request, else 0.
int start_installed_service(const char* name);

// 1 when the service is installed and we may control and delete it, else 0
// with the error set.
int open_installed_service(const char* name);

// Sends the stop control. Returns 1 when the service accepted it, with the
// state it is in then stored in *state (left alone when that cannot be
// had); 0 when it did not (a service that does not run), error set.
int send_stop_control(const char* name, uint32_t* state);

// The service's state as one of the SERVICE_STATE_* values, or 0 (error
// set) when it cannot be queried.
int query_service_state(const char* name);

// Deletes the installed service. Returns 1, or 0 with the error set.
int delete_installed_service(const char* name);
