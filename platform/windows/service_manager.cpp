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

// Opens the installed service with full access; nullptr (last error set)
// when it cannot be had. *manager is the manager's handle, to be closed.
static SC_HANDLE open_service(const char* name, SC_HANDLE* manager) {
  *manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!*manager) return nullptr;
  SC_HANDLE service = OpenServiceA(*manager, name, SERVICE_ALL_ACCESS);
  if (!service) {
    DWORD error = GetLastError();
    CloseServiceHandle(*manager);
    *manager = nullptr;
    SetLastError(error);
  }
  return service;
}

static void close_service(SC_HANDLE service, SC_HANDLE manager) {
  DWORD error = GetLastError();  // the caller's error outlives the clean-up
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  SetLastError(error);
}

int create_installed_service(const char* name, const char* display_name, const char* executable_path) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return 0;
  // The path as the module gave it, unquoted, and an empty dependency list.
  SC_HANDLE service = CreateServiceA(manager, name, display_name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, executable_path, nullptr, nullptr,
                                     "\0", nullptr, nullptr);
  int created = service != nullptr;
  close_service(service, manager);
  return created;
}

int start_installed_service(const char* name) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = open_service(name, &manager);
  if (!service) return 0;
  int started = StartServiceA(service, 0, nullptr) != 0;
  close_service(service, manager);
  return started;
}

int open_installed_service(const char* name) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = open_service(name, &manager);
  if (!service) return 0;
  close_service(service, manager);
  return 1;
}

int send_stop_control(const char* name, uint32_t* state) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = open_service(name, &manager);
  if (!service) return 0;
  SERVICE_STATUS status{};
  int accepted = ControlService(service, SERVICE_CONTROL_STOP, &status) != 0;
  if (accepted) *state = status.dwCurrentState;
  close_service(service, manager);
  return accepted;
}

int query_service_state(const char* name) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = open_service(name, &manager);
  if (!service) return 0;
  SERVICE_STATUS status{};
  int state = QueryServiceStatus(service, &status) ? static_cast<int>(status.dwCurrentState) : 0;
  close_service(service, manager);
  return state;
}

int delete_installed_service(const char* name) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = open_service(name, &manager);
  if (!service) return 0;
  int deleted = DeleteService(service) != 0;
  close_service(service, manager);
  return deleted;
}
