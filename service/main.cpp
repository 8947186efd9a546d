// Harrier: the TFTP server without a window.
#include <signal.h>
#include <strings.h>

#include <cstdio>

#include "service/console_mode.h"

constexpr const char* PROGRAM_NAME = "Harrier";

int main(int argc, char** argv) {
  // Writes to a console that went away must fail, not end the server.
  signal(SIGPIPE, SIG_IGN);
  // A file size limit must fail the write (and the upload), not end the server.
  signal(SIGXFSZ, SIG_IGN);
  if (argc > 1 && strcasecmp(argv[1], "-debug") == 0) {
    debug_service(argc, argv);
    return 0;
  }
  printf("%s -install     to install the service\n", PROGRAM_NAME);
  printf("%s -remove      to remove the service\n", PROGRAM_NAME);
  printf("%s -debug       to run the service as a console application\n", PROGRAM_NAME);
  printf("\nStartServiceCtrlDispatcher being called.\n");
  printf("This may take several seconds.  Please wait.\n");
  return 0;
}
