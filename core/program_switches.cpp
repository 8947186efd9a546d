#include "core/program_switches.h"

#include <cstdio>
#include <cstring>

// ORVANEL_VERSION comes from the build, the project's version.
int answer_help_or_version(int argument_count, char** arguments, const char* program, const char* usage) {
  if (argument_count < 2) return SWITCH_NONE;
  if (strcmp(arguments[1], "--help") == 0) {
    fputs(usage, stdout);
  } else if (strcmp(arguments[1], "--version") == 0) {
    printf("%s %s\n", program, ORVANEL_VERSION);
  } else {
    return SWITCH_NONE;
  }
  // A full disk or a closed pipe must not pass for a printed answer.
  return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}

int report_usage_error(const char* program, const char* message) {
  fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, message, program);
  return EXIT_USAGE_ERROR;
}
