#include "desktop/single_instance.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>
#include <wx/app.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "desktop/local_socket.h"
#include "desktop/menus.h"
#include "desktop/window_state.h"

static int listener = -1;
static std::thread listener_thread;

std::string instance_name() {
  const char* display = getenv("DISPLAY");
  if (!display || !*display) display = getenv("WAYLAND_DISPLAY");
  char name[96];
  snprintf(name, sizeof name, "orvanel-kestrel/%u/%.60s", static_cast<unsigned>(getuid()), display ? display : "");
  return name;
}

int claim_single_instance() {
  std::string name = instance_name();
  for (int attempt = 0; attempt < 3; attempt++) {
    listener = local_listen(name);
    if (listener >= 0) return INSTANCE_FIRST;
    if (errno != EADDRINUSE) return INSTANCE_FIRST;
    int s = local_connect(name);
    if (s < 0) continue;  // the holder just went away: try to take the name
    if (!peer_is_same_user(s)) {
      close(s);
      return INSTANCE_FIRST;
    }
    std::string answer;
    int sent = write_text(s, "restore\n") && read_line(s, &answer, 16, 2000) && answer == "ok";
    close(s);
    if (sent) return INSTANCE_SIGNALLED;
  }
  return INSTANCE_FIRST;
}

static void listen_for_starts() {
  for (;;) {
    int s = accept_same_user(listener);
    if (s < 0) return;
    std::string message;
    if (read_line(s, &message, 16, 1000) && message == "restore") {
      post_command(CMD_RESTORE);
      write_text(s, "ok\n");
    }
    close(s);
  }
}

void start_instance_listener() {
  if (listener < 0) return;
  listener_thread = std::thread(listen_for_starts);
}

void stop_instance_listener() {
  if (listener < 0) return;
  shutdown(listener, SHUT_RDWR);  // wakes the blocked accept
  if (listener_thread.joinable()) listener_thread.join();
  close(listener);
  listener = -1;
}
