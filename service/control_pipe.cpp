#include "service/control_pipe.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "core/little_endian.h"
#include "core/printable.h"
#include "core/registry.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "service/service_control.h"

static std::atomic<intptr_t> control_pipe{-1};
static std::thread pipe_thread;

// Commands 5 and 6: the pause flag follows only a client that could write
// the settings key itself. Where that shows only by trying, the probe value
// "Stop" is written with the client's identity and never left behind.
static void set_pause(uint32_t command, const pipe_client* client) {
  int paused = static_cast<int>(command - PIPE_RESUME);
  if (CLIENT_JUDGED_BY_CREDENTIALS) {
    if (act_as_client(client)) server_paused = paused;
    act_as_self();
    return;
  }
  if (act_as_client(client)) {
    reg_write_number(SETTINGS_KEY, "Stop", 1, 0);
    if (reg_read_number(SETTINGS_KEY, "Stop", 0) != 0) server_paused = paused;
    act_as_self();
  }
  reg_write_string(SETTINGS_KEY, "Stop", nullptr);
}

// Copies the record at position index of the session list (0 the newest)
// behind status and active_transfers. Returns 0 when there is none. A
// request still being looked at is not a transfer yet and is not shown.
static int copy_session(uint32_t index, uint8_t* reply, int with_address) {
  std::lock_guard<std::mutex> hold(list_lock);
  uint32_t position = 0;
  for (tftp_session* s = session_list; s; s = s->next) {
    if (!session_has_started(s)) continue;
    if (position++ != index) continue;
    put32(reply, 0);
    put32(reply + 4, active_transfers.load());
    write_session_record(s, reply + 8);
    if (with_address) {
      put32(reply + PIPE_ADDRESS_OFFSET, s->client_address.family);
      memcpy(reply + PIPE_ADDRESS_OFFSET + 4, s->client_address.bytes, 16);
      put32(reply + PIPE_ADDRESS_OFFSET + 20, s->client_address.scope);
    }
    return 1;
  }
  return 0;
}

int handle_pipe_command(uint8_t* buffer, size_t buffer_size, size_t request_length, size_t* reply_length,
                        const pipe_client* client) {
  uint32_t command = request_length >= 4 ? get32(buffer) : 0;
  size_t needed = command == PIPE_SESSION || command == PIPE_SESSION_ADDRESS ? 8 : 4;
  *reply_length = 4;
  if (request_length < needed || buffer_size < PIPE_SESSION_ADDRESS_REPLY_SIZE) {
    put32(buffer, 1);
    return 1;
  }
  switch (command) {
    case PIPE_LOAD_GENERAL: load_general_settings(SETTINGS_KEY); break;
    case PIPE_LOAD_SERVER: load_server_settings(SETTINGS_KEY); break;
    case PIPE_LOAD_OPTIONS: load_option_settings(SETTINGS_KEY); break;
    case PIPE_LOAD_ACCESS: load_access_setting(SETTINGS_KEY); break;
    case PIPE_RESUME:
    case PIPE_PAUSE:
      set_pause(command, client);
      [[fallthrough]];
    case PIPE_STATE:
      put32(buffer, 0);
      put32(buffer + 4, server_paused ? 1u : 0u);
      put32(buffer + 8, server_stop ? 1u : 0u);
      *reply_length = 12;
      return 1;
    case PIPE_SESSION:
    case PIPE_SESSION_ADDRESS:
      if (copy_session(get32(buffer + 4), buffer, command == PIPE_SESSION_ADDRESS)) {
        *reply_length = command == PIPE_SESSION ? PIPE_SESSION_REPLY_SIZE : PIPE_SESSION_ADDRESS_REPLY_SIZE;
      } else {
        put32(buffer, 1);
      }
      return 1;
    default:
      put32(buffer, 1);
      return 1;
  }
  put32(buffer, 0);
  return 1;
}

void start_control_pipe() {
  if (!prepare_control_channel()) return;
  std::string path = control_channel_path();
  char reason[256];
  intptr_t pipe = open_control_channel(path.c_str(), reason, sizeof reason);
  if (pipe == -1) {
    std::string line = "Control channel " + printable_text(path) + " not opened: " + printable_text(reason);
    write_service_error(line.c_str());  // first: the log line may change the error number
    log_line(1, 1, " %s\n", line.c_str());
    close_control_channel(-1);
    return;
  }
  control_pipe = pipe;
  pipe_thread = std::thread(serve_control_channel, pipe, handle_pipe_command);
}

void stop_control_pipe() {
  if (!pipe_thread.joinable()) return;
  if (!wake_control_channel()) return;  // the thread cannot be told; leave it to the exit
  pipe_thread.join();
  close_control_channel(control_pipe.exchange(-1));
}
