// The control pipe: a message-mode named pipe served with overlapped
// operations, so that a silent client, a client that reads no replies and
// the end of the service all interrupt the wait instead of hanging it.
#include "platform/control_channel.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/clock.h"

static HANDLE stop_event = nullptr;  // set once to end the serving

int prepare_control_channel() {
  stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return stop_event != nullptr;
}

std::string control_channel_path() { return CONTROL_PIPE_PATH; }

intptr_t open_control_channel(const char* path, char* reason, size_t reason_size) {
  if (reason_size) reason[0] = 0;
  // No access list at all: every local user may connect and ask; what a
  // client may change is decided by its own identity (act_as_client).
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
    if (reason_size) snprintf(reason, reason_size, "no security descriptor (error %lu)", GetLastError());
    return -1;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, TRUE};
  // One instance, so that a second client is refused as busy. The pipe is
  // local: clients from other computers are refused, and an instance that
  // someone else created first makes the creation fail rather than share
  // the name with a process that could answer in our place.
  DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
  DWORD pipe_mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
  HANDLE pipe = CreateNamedPipeA(path, open_mode, pipe_mode, 1, 0, 0, 1000, &attributes);
  if (pipe == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (reason_size) {
      if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY)
        snprintf(reason, reason_size, "the name is taken by another process (error %lu)", error);
      else
        snprintf(reason, reason_size, "cannot create the pipe (error %lu)", error);
    }
    return -1;
  }
  return reinterpret_cast<intptr_t>(pipe);
}

enum { OPERATION_DONE = 1, OPERATION_FAILED = 0, OPERATION_STOPPED = -1, OPERATION_EXPIRED = -2 };

// Waits for the overlapped operation that `started` began (its result and
// the error right after it) until the absolute deadline on the monotonic
// clock (-1: no deadline). An operation that is given up is cancelled and
// its end awaited, so that the buffer is free again.
static int finish_operation(HANDLE pipe, OVERLAPPED* operation, BOOL started, DWORD error, int64_t deadline,
                            DWORD* bytes) {
  *bytes = 0;
  if (started) return GetOverlappedResult(pipe, operation, bytes, FALSE) ? OPERATION_DONE : OPERATION_FAILED;
  if (error != ERROR_IO_PENDING) return OPERATION_FAILED;
  HANDLE waits[2] = {operation->hEvent, stop_event};
  int outcome;
  for (;;) {
    DWORD timeout = INFINITE;
    if (deadline >= 0) {
      int64_t left = deadline - monotonic_now_ms();
      timeout = left > 0 ? static_cast<DWORD>(left) : 0;
    }
    DWORD which = WaitForMultipleObjects(2, waits, FALSE, timeout);
    if (which == WAIT_OBJECT_0) {
      outcome = GetOverlappedResult(pipe, operation, bytes, FALSE) ? OPERATION_DONE : OPERATION_FAILED;
      return outcome;
    }
    if (which == WAIT_OBJECT_0 + 1) {
      outcome = OPERATION_STOPPED;
      break;
    }
    if (which == WAIT_TIMEOUT) {
      if (deadline >= 0 && monotonic_now_ms() < deadline) continue;  // woke early
      outcome = OPERATION_EXPIRED;
      break;
    }
    outcome = OPERATION_FAILED;
    break;
  }
  CancelIo(pipe);
  DWORD ignored = 0;
  GetOverlappedResult(pipe, operation, &ignored, TRUE);
  return outcome;
}

// Serves the connected client until it leaves, sends a message longer than
// the buffer, a write fails or is not taken within the idle time, it sends
// nothing for CONTROL_IDLE_SECONDS, or the channel is woken (returns 0
// then). While it is served the one instance is taken: others are busy.
static int serve_client(HANDLE pipe, HANDLE event, control_handler handler) {
  pipe_client client{pipe};
  alignas(8) uint8_t buffer[CONTROL_MESSAGE_SIZE];
  for (;;) {
    int64_t deadline = monotonic_now_ms() + CONTROL_IDLE_SECONDS * 1000;
    OVERLAPPED operation{};
    operation.hEvent = event;
    ResetEvent(event);
    BOOL started = ReadFile(pipe, buffer, sizeof buffer, nullptr, &operation);
    DWORD length = 0;
    // A message longer than the buffer fails the read with ERROR_MORE_DATA.
    int outcome = finish_operation(pipe, &operation, started, GetLastError(), deadline, &length);
    if (outcome == OPERATION_STOPPED) return 0;
    if (outcome != OPERATION_DONE || length == 0) return 1;
    size_t reply_length = 0;
    if (!handler(buffer, sizeof buffer, length, &reply_length, &client)) return 1;
    operation = OVERLAPPED{};
    operation.hEvent = event;
    ResetEvent(event);
    started = WriteFile(pipe, buffer, static_cast<DWORD>(reply_length), nullptr, &operation);
    DWORD written = 0;
    // A client that does not read its replies is dropped rather than waited for.
    outcome = finish_operation(pipe, &operation, started, GetLastError(), monotonic_now_ms() + CONTROL_IDLE_SECONDS * 1000,
                               &written);
    if (outcome == OPERATION_STOPPED) return 0;
    if (outcome != OPERATION_DONE || written != reply_length) return 1;
  }
}

int serve_control_channel(intptr_t channel, control_handler handler) {
  HANDLE pipe = reinterpret_cast<HANDLE>(channel);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!event) return 1;
  for (;;) {
    OVERLAPPED operation{};
    operation.hEvent = event;
    ResetEvent(event);
    BOOL started = ConnectNamedPipe(pipe, &operation);
    DWORD error = GetLastError();
    int outcome;
    DWORD ignored = 0;
    if (!started && error == ERROR_PIPE_CONNECTED)
      outcome = OPERATION_DONE;  // the client came between creation and the wait
    else
      outcome = finish_operation(pipe, &operation, started, error, -1, &ignored);
    if (outcome != OPERATION_DONE) break;
    int go_on = serve_client(pipe, event, handler);
    DisconnectNamedPipe(pipe);
    if (!go_on) break;
  }
  CloseHandle(event);
  return 1;
}

int wake_control_channel() { return stop_event && SetEvent(stop_event); }

void close_control_channel(intptr_t channel) {
  if (channel != -1) CloseHandle(reinterpret_cast<HANDLE>(channel));
  if (stop_event) CloseHandle(stop_event);
  stop_event = nullptr;
}

// The registry checks the client's own rights while the thread wears its
// identity. A client whose identity cannot be taken on is not trusted with
// the service's.
int act_as_client(const pipe_client* client) { return ImpersonateNamedPipeClient(client->pipe) != 0; }

void act_as_self() { RevertToSelf(); }
