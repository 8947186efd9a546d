// Harrier as a system service: entry through the service manager, status
// reports, the stop control, error reports to the event log.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr const char* SERVICE_NAME = "TFTPService";
constexpr const char* SERVICE_DISPLAY_NAME = "TFTP Server";
constexpr const char* PROGRAM_NAME = "Harrier";
constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr int LAST_ERROR_TEXT_SIZE = 256;

// 1 from "-debug" on: status reports and event log entries are skipped.
extern std::atomic<int> debug_mode;

// The one status record of the process; written by the service thread and
// the control thread.
struct service_status {
  std::atomic<uint32_t> service_type;
  std::atomic<uint32_t> current_state;
  std::atomic<uint32_t> controls_accepted;
  std::atomic<uint32_t> win32_exit_code;
  std::atomic<uint32_t> service_specific_exit_code;
  std::atomic<uint32_t> check_point;
  std::atomic<uint32_t> wait_hint;
};
extern service_status status_record;
extern std::atomic<uint32_t> check_point;

// The manager's notification for a status: start pending as STATUS= with
// EXTEND_TIMEOUT_USEC from the wait hint, running as READY=1 with the TFTP
// port, stop pending as STOPPING=1, stopped as a last STATUS=. Returns the
// text's length.
int format_service_notification(uint32_t state, uint32_t check_point_value, uint32_t wait_hint, uint32_t port,
                                char* buffer, size_t size);

// The process's exit code: 1 once the service could not start (its port
// could not be bound), so that the manager sees the failure; else 0.
extern std::atomic<int> service_exit_code;

// Reports a state to the service manager; 1 when reported (always in
// debug_mode), else 0 after an event log entry "SetServiceStatus".
int report_service_status(uint32_t state, uint32_t exit_code, uint32_t wait_hint);

// One error entry in the event log: "TFTPService error: <errno>" and the
// message. Nothing in debug_mode.
void log_service_error(const char* message);

// The same entry in either mode, for what an administrator must learn of
// even from a console run (a control channel someone else holds).
void write_service_error(const char* message);

// The system's text of errno and " (0x<errno>)" in buffer, or an empty
// string when it would not fit; returns buffer.
char* last_error_text(char* buffer, size_t size);

// Called by the manager's dispatcher on a thread of its own.
void service_main(int argument_count, char** arguments);

// The stop and shutdown controls stop the server; others are ignored.
void service_control_handler(uint32_t control);

// Reports the start, runs the server loop, reports a failed start (and
// sets service_exit_code).
void run_service(int argument_count, char** arguments);

// Reports running; called by the server loop once its port is bound.
void report_service_running();

// Stops the server loop and reports the stop as pending.
void stop_service();

// Hands the process to the manager's dispatcher. Returns 1 after the
// service ran, 0 when the process was not started by the manager.
int start_service_dispatcher();
