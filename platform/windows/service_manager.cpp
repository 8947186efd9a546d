// The service control manager: the dispatcher, the control handler and the
// status reports.
#include "platform/service_manager.h"

#include <windows.h>

#include <cstring>

static void (*service_entry)(int, char**) = nullptr;
static void (*control_entry)(uint32_t) = nullptr;
static char* service_name = nullptr;
static SERVICE_STATUS_HANDLE status_handle = nullptr;

int last_system_error() { return static_cast<int>(GetLastError()); }

const char* system_error_message(int error, char* buffer, unsigned size) {
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                           reinterpret_cast<char*>(&text), 0, nullptr);
  const char* result = nullptr;
  if (n > 0 && text) {
    // System texts end with a line end.
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) n--;
    if (n > 0 && n < size) {
      memcpy(buffer, text, n);
      buffer[n] = 0;
      result = buffer;
    }
  }
  if (text) LocalFree(text);
  return result;
}

static void WINAPI control_trampoline(DWORD control) {
  if (control_entry) control_entry(control);
}

static void WINAPI service_trampoline(DWORD argument_count, char** arguments) {
  status_handle = RegisterServiceCtrlHandlerA(service_name, control_trampoline);
  if (!status_handle) return;
  service_entry(static_cast<int>(argument_count), arguments);
}

int run_service_dispatcher(void (*service_main)(int, char**), void (*control_handler)(uint32_t),
                           int argument_count, char** arguments) {
  if (argument_count < 1 || !arguments[0]) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  service_entry = service_main;
  control_entry = control_handler;
  service_name = arguments[0];
  SERVICE_TABLE_ENTRYA table[2] = {{service_name, service_trampoline}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) != 0;
}

int notify_service_manager(const service_report* report, const char*) {
  if (!status_handle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  SERVICE_STATUS status{};
  status.dwServiceType = report->service_type;
  status.dwCurrentState = report->current_state;
  status.dwControlsAccepted = report->controls_accepted;
  status.dwWin32ExitCode = report->win32_exit_code;
  status.dwServiceSpecificExitCode = report->service_specific_exit_code;
  status.dwCheckPoint = report->check_point;
  status.dwWaitHint = report->wait_hint;
  return SetServiceStatus(status_handle, &status) != 0;
}

int open_service_manager() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return 0;
  CloseServiceHandle(manager);
  return 1;
}
