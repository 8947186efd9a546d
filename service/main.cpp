// Harrier: the TFTP server without a window, as a system service or in a
// console.
#include <strings.h>

#include <cstdio>

#include "core/server_loop.h"
#include "core/settings_check.h"
#include "platform/console_events.h"
#include "platform/privileges.h"
#include "service/console_mode.h"
#include "service/control_pipe.h"
#include "service/service_control.h"
#include "service/service_install.h"

// Runs once the TFTP port is bound: the control channel opens, root is given
// up, and only then is the manager told that the service is ready.
static void server_started() {
  start_control_pipe();
  char message[256];
  if (!drop_privileges(message, sizeof message)) {
    // Serving as root is what this step exists to prevent: no serving at all.
    fprintf(stderr, "%s\n", message);
    log_service_error(message);
    service_exit_code = 1;
    stop_server();
    return;
  }
  report_service_running();
}

int main(int argc, char** argv) {
  prepare_console_process();
  server_started_hook = server_started;
  server_ended_hook = stop_control_pipe;

  if (argc > 1) {
    if (strcasecmp(argv[1], "-check") == 0) return check_settings_command();
    if (strcasecmp(argv[1], "-install") == 0) {
      install_service();
      return 0;
    }
    if (strcasecmp(argv[1], "-remove") == 0) {
      remove_service();
      return 0;
    }
    if (strcasecmp(argv[1], "-debug") == 0) {
      debug_mode = 1;
      debug_service(argc, argv);
      return service_exit_code;
    }
  }
  printf("%s -install     to install the service\n", PROGRAM_NAME);
  printf("%s -remove      to remove the service\n", PROGRAM_NAME);
  printf("%s -debug       to run the service as a console application\n", PROGRAM_NAME);
  printf("\nStartServiceCtrlDispatcher being called.\n");
  printf("This may take several seconds.  Please wait.\n");
  fflush(stdout);
  if (!start_service_dispatcher()) log_service_error("StartServiceCtrlDispatcher failed.");
  return service_exit_code;
}
