// The service manager (systemd): status notifications, the stop control,
// and the unit operations that installing and removing need. Failures
// leave errno set, so that callers can describe them.
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

// Runs service_main(argument_count, arguments) on a thread of its own while
// the calling thread's helper delivers stop controls (SIGTERM) to
// control_handler. Returns 1 after service_main returned, or 0 with errno
// set when the process was not started by the service manager (no
// NOTIFY_SOCKET).
int run_service_dispatcher(void (*service_main)(int, char**), void (*control_handler)(uint32_t),
                           int argument_count, char** arguments);

// Sends one notification ("READY=1\n…") to the manager. Returns 1 when it
// was sent, else 0 with errno set.
int notify_service_manager(const char* text);

// 1 when systemd runs this machine and its unit directory may be written by
// us, else 0 with errno set.
int open_service_manager();

// Path of the unit file of the named service under /etc/systemd/system.
void service_unit_path(const char* service_name, char* buffer, unsigned size);

// Runs "systemctl <verb> [--no-block] <unit>". Returns its exit status, or
// -1 when it could not run.
int run_systemctl(const char* verb, const char* unit, int no_block);

// The unit's state as one of the SERVICE_STATE_* values, or 0 (errno set)
// when it cannot be queried.
int query_service_state(const char* unit);
