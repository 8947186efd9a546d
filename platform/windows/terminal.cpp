#include "platform/terminal.h"

#include <io.h>

#include <cstdio>

int error_output_is_terminal() { return _isatty(_fileno(stderr)) ? 1 : 0; }
