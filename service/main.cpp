// Harrier: the TFTP server without a window, as a system service or in a
// console.
#include <strings.h>

#include <cstdio>

#include "core/program_switches.h"
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

static const char HARRIER_USAGE[] =
    "Usage: harrier [-install | -remove | -debug | -check]\n"
    "       harrier --help | --version\n"
    "\n"
    "The TFTP server without a window. Started by the service manager (no\n"
    "switch) it runs as the service TFTPService.\n"
    "\n"
    "  -install    install the service, enable it at boot and start it\n"
    "  -remove     stop the service and remove it\n"
    "  -debug      run the server in this console, tracing to standard output,\n"
    "              until Ctrl+C, Ctrl+Break (SIGQUIT) or SIGTERM\n"
    "  -check      check the settings store, print every problem; exit 1 on\n"
    "              an error, 0 otherwise\n"
    "  --help      print this help and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Switches are recognised in any mix of upper and lower case. Exit status:\n"
    "0 done, 1 failed, 2 a command line that makes no sense.\n";

int main(int argc, char** argv) {
  int answered = answer_help_or_version(argc, argv, "harrier", HARRIER_USAGE);
  if (answered != SWITCH_NONE) return answered;
  prepare_console_process();
  server_started_hook = server_started;
  server_ended_hook = stop_control_pipe;

  if (argc > 1) {
    if (strcasecmp(argv[1], "-check") == 0) return check_settings_command();
    if (strcasecmp(argv[1], "-install") == 0) return install_service() ? 0 : 1;
    if (strcasecmp(argv[1], "-remove") == 0) return remove_service() ? 0 : 1;
    if (strcasecmp(argv[1], "-debug") == 0) {
      debug_mode = 1;
      debug_service(argc, argv);
      return service_exit_code;
    }
    // The service manager starts the service without arguments: any other
    // word is a mistake of whoever typed it, not a request to serve.
    char message[160];
    snprintf(message, sizeof message, "unknown switch '%.100s'", argv[1]);
    return report_usage_error("harrier", message);
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
