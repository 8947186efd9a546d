// The switches every program of the suite answers alike: --help prints the
// usage on standard output, --version the program's name and version, and a
// command line that makes no sense ends with a short message on standard
// error and exit code 2.
#pragma once

constexpr int SWITCH_NONE = -1;      // the first argument is neither switch
constexpr int EXIT_USAGE_ERROR = 2;  // exit code of a command line that makes no sense

// When the first argument is "--help" or "--version", prints the usage text
// (as given, on standard output) or "<program> <version>" and returns 0, the
// exit code; otherwise returns SWITCH_NONE and prints nothing.
int answer_help_or_version(int argument_count, char** arguments, const char* program, const char* usage);

// Prints "<program>: <message>" and a hint to "<program> --help" on standard
// error. Returns EXIT_USAGE_ERROR.
int report_usage_error(const char* program, const char* message);
