// The settings key checked the way the server reads it, so that a mistake
// in the store is named instead of silently giving a default.
//
// An error is something written in the store that has no effect (an
// unknown name, a value that is not text, a number or address that does
// not parse, a text too long to be read, a directory that is not there, a
// line the store cannot read); a warning is a value that has an effect,
// but not exactly the one written (a number brought into its range, a
// switch other than 0 or 1, text after a number).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr int SETTINGS_WARNING = 0;
constexpr int SETTINGS_ERROR = 1;

struct settings_problem {
  int severity;      // SETTINGS_WARNING or SETTINGS_ERROR
  std::string name;  // the value's (or subkey's) name; empty for a line of the file
  std::string text;  // what is wrong and what applies instead, control bytes escaped
};

// Checks the machine store's file and its key Software\Orvanel\<subkey>:
// every value against setting_table, the root (stored or default), the
// Prefix entries and the log directory against the file system (relative
// paths from the current directory, as the server loads them). Appends the
// problems in the key's order. Returns the number of errors.
size_t check_settings(const char* subkey, std::vector<settings_problem>* problems);

// "error: Name: text", "warning: Name: text", or "error: text" for a line.
std::string settings_problem_line(const settings_problem& problem);

// The known value name nearest to `name` (at most two letters off, case
// ignored), or null.
const char* nearest_setting_name(const char* name);

// harrier -check: from the program's directory, as the server starts,
// prints every problem of the settings key on standard output, one a line,
// then a summary line. Returns 1 when there is an error, else 0.
int check_settings_command();

// Writes every problem of the settings key into the log, one line each at
// level 1 (" settings: error: ..."), as failures. For the start of both
// server programs.
void log_settings_problems(const char* subkey);
