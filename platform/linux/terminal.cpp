#include "platform/terminal.h"

#include <unistd.h>

int error_output_is_terminal() { return isatty(STDERR_FILENO) ? 1 : 0; }
