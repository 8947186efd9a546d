#include "core/settings_check.h"

#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/printable.h"
#include "core/registry.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "platform/path_names.h"
#include "platform/program_path.h"
#include "platform/registry_store.h"

static void add_problem(std::vector<settings_problem>* problems, int severity, const std::string& name,
                        const std::string& text) {
  problems->push_back(settings_problem{severity, printable_text(name), printable_text(text)});
}

static std::string quoted(const std::string& text) { return "\"" + text + "\""; }

static std::string number_text(uint32_t n) { return std::to_string(n); }

// The problems of a number as the loader reads it from text.
static void check_number(const setting_info* info, const std::string& text, std::vector<settings_problem>* out) {
  uint32_t read;
  if (!scan_unsigned(text.c_str(), &read)) {
    add_problem(out, SETTINGS_ERROR, info->name,
                quoted(text) + " is not a number; the default " + number_text(info->default_value) + " applies");
    return;
  }
  // What follows the digits is ignored by the loader.
  size_t at = text.find_first_of("0123456789");
  size_t end = text.find_first_not_of("0123456789", at);
  if (end != std::string::npos)
    add_problem(out, SETTINGS_WARNING, info->name,
                "text after the number is ignored: " + quoted(text) + " reads as " + number_text(read));
  uint32_t kept = setting_number(info, read);
  if (kept == read) return;
  std::string said = quoted(text);
  if (info->kind == SETTING_SWITCH)
    add_problem(out, SETTINGS_WARNING, info->name, said + " is neither 0 nor 1; " + number_text(kept) + " applies");
  else if (info->kind == SETTING_MASK)
    add_problem(out, SETTINGS_WARNING, info->name,
                said + " has bits beyond " + number_text(info->high) + "; " + number_text(kept) + " applies");
  else if (read < info->low)
    add_problem(out, SETTINGS_WARNING, info->name,
                said + " is below " + number_text(info->low) + "; " + number_text(kept) + " applies");
  else
    add_problem(out, SETTINGS_WARNING, info->name,
                said + " is above " + number_text(info->high) + "; " + number_text(kept) + " applies");
}

// A directory the server needs: a problem unless it is one.
static void check_directory(const char* name, const std::string& path, const char* effect,
                            std::vector<settings_problem>* out) {
  int kind = path_kind(path.c_str());
  if (kind == PATH_KIND_DIRECTORY) return;
  add_problem(out, SETTINGS_ERROR, name,
              path + (kind == PATH_KIND_MISSING ? " does not exist; " : " is not a directory; ") + effect);
}

static void check_text(const setting_info* info, const std::string& text, std::vector<settings_problem>* out) {
  switch (info->kind) {
    case SETTING_DIRECTORY:
      if (strcasecmp(info->name, "RootDirectory") == 0)
        check_directory(info->name, text, "the server does not start", out);
      else
        check_directory(info->name, text, "no log file can be written there", out);
      return;
    case SETTING_PREFIXES:
      for (size_t at = 0; at <= text.size();) {
        size_t end = text.find(';', at);
        if (end == std::string::npos) end = text.size();
        if (end > at)
          check_directory(info->name, text.substr(at, end - at), "requests beneath it find nothing", out);
        at = end + 1;
      }
      return;
    case SETTING_ADDRESS: {
      uint32_t address;
      if (!parse_multicast_ip(text.c_str(), &address))
        add_problem(out, SETTINGS_ERROR, info->name,
                    quoted(text) + " is no address of four numbers below 256; 224.0.0.1 applies");
      return;
    }
    case SETTING_TEXT:
      return;
    default:
      check_number(info, text, out);
  }
}

static void check_value(const store_value& value, std::vector<settings_problem>* out) {
  const setting_info* info = find_setting(value.name.c_str());
  if (!info) {
    const char* near = nearest_setting_name(value.name.c_str());
    add_problem(out, SETTINGS_ERROR, value.name,
                std::string("no program of the suite reads this value") +
                    (near ? std::string("; did you mean ") + quoted(near) + "?" : std::string()));
    return;
  }
  // Every reader takes a value's bytes up to the first zero as its text.
  std::string text = value.data.substr(0, strnlen(value.data.c_str(), value.data.size()));
  if (value.type != STORE_SZ) {
    std::string what = value.raw.empty() ? std::string("stored") : "stored as " + value.raw;
    std::string effect;
    if (info->kind <= SETTING_MASK) {
      // Its bytes are read as text, which is hardly ever a number.
      uint32_t read;
      effect = scan_unsigned(text.c_str(), &read) ? number_text(setting_number(info, read)) + " applies"
                                                  : "the default " + number_text(info->default_value) + " applies";
    } else {
      effect = "its bytes are read as text";
    }
    add_problem(out, SETTINGS_ERROR, info->name,
                what + ", not as text (REG_SZ): " + effect + "; write it as \"" + info->name + "\"=\"...\"");
    return;
  }
  if (text.empty()) return;  // the same as no value: the default
  if (text.size() > info->text_max) {
    add_problem(out, SETTINGS_ERROR, info->name,
                "the text of " + std::to_string(text.size()) + " characters is longer than the " +
                    std::to_string(info->text_max) + " that are read; the value is ignored");
    return;
  }
  check_text(info, text, out);
}

size_t check_settings(const char* subkey, std::vector<settings_problem>* problems) {
  size_t first = problems->size();
  std::string store = store_file_path(HIVE_MACHINE);
  std::vector<store_line> unread;
  int file = store_check_file(HIVE_MACHINE, &unread);
  if (file == STORE_FILE_UNREADABLE)
    add_problem(problems, SETTINGS_ERROR, "", store + " cannot be read; every setting has its default");
  else if (file == STORE_FILE_MISSING)
    add_problem(problems, SETTINGS_WARNING, "", store + " does not exist; every setting has its default");
  for (const store_line& line : unread)
    add_problem(problems, SETTINGS_ERROR, "",
                "line " + std::to_string(line.number) + " of " + store + " cannot be read and sets nothing: " +
                    line.text);

  std::vector<store_value> values;
  std::vector<std::string> subkeys;
  reg_list_key(subkey, &values, &subkeys);
  int root_stored = 0;
  for (const store_value& value : values) {
    check_value(value, problems);
    if (strcasecmp(value.name.c_str(), "RootDirectory") == 0 && value.type == STORE_SZ && !value.data.empty())
      root_stored = 1;
  }
  for (const std::string& name : subkeys)
    if (strcasecmp(name.c_str(), SETTINGS_ACCESS_SUBKEY) != 0)
      add_problem(problems, SETTINGS_ERROR, name, "no program of the suite reads this subkey");
  if (!root_stored) {
    // An unset root is the default one, which must be there as well.
    char root[SETTINGS_PATH_MAX + 1];
    int kind = default_root_directory(root, sizeof root) > 0 ? path_kind(root) : PATH_KIND_DIRECTORY;
    if (kind != PATH_KIND_DIRECTORY)
      add_problem(problems, SETTINGS_ERROR, "RootDirectory",
                  std::string("not set, and the default ") + root +
                      (kind == PATH_KIND_MISSING ? " does not exist" : " is not a directory") +
                      "; the server does not start");
  }
  size_t errors = 0;
  for (size_t i = first; i < problems->size(); i++) errors += (*problems)[i].severity == SETTINGS_ERROR;
  return errors;
}

std::string settings_problem_line(const settings_problem& problem) {
  std::string line = problem.severity == SETTINGS_ERROR ? "error: " : "warning: ";
  if (!problem.name.empty()) line += problem.name + ": ";
  return line + problem.text;
}

// Edit distance of two names, letter case ignored, capped at 3.
static int name_distance(const char* a, const char* b) {
  size_t n = strlen(a), m = strlen(b);
  if (n > 64 || m > 64) return 3;
  int row[65];
  for (size_t j = 0; j <= m; j++) row[j] = static_cast<int>(j);
  for (size_t i = 1; i <= n; i++) {
    int diagonal = row[0];
    row[0] = static_cast<int>(i);
    for (size_t j = 1; j <= m; j++) {
      int above = row[j];
      int same = tolower(static_cast<unsigned char>(a[i - 1])) == tolower(static_cast<unsigned char>(b[j - 1]));
      int best = diagonal + (same ? 0 : 1);
      if (row[j] + 1 < best) best = row[j] + 1;
      if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
      row[j] = best;
      diagonal = above;
    }
  }
  return row[m] < 3 ? row[m] : 3;
}

const char* nearest_setting_name(const char* name) {
  const char* nearest = nullptr;
  int best = 3;
  for (size_t i = 0; i < setting_count; i++) {
    int d = name_distance(name, setting_table[i].name);
    if (d < best) {
      best = d;
      nearest = setting_table[i].name;
    }
  }
  return nearest;
}

int check_settings_command() {
  // Relative paths of the store are read from where the server reads them.
  char directory[4096];
  if (module_directory(directory, sizeof directory) > 0 && chdir(directory) != 0) directory[0] = 0;
  std::vector<settings_problem> problems;
  size_t errors = check_settings(SETTINGS_KEY, &problems);
  for (const settings_problem& p : problems) printf("%s\n", settings_problem_line(p).c_str());
  std::string store = store_file_path(HIVE_MACHINE);
  if (problems.empty())
    printf("%s: no problems\n", store.c_str());
  else
    printf("%s: %zu error%s, %zu warning%s\n", store.c_str(), errors, errors == 1 ? "" : "s",
           problems.size() - errors, problems.size() - errors == 1 ? "" : "s");
  fflush(stdout);
  return errors ? 1 : 0;
}

void log_settings_problems(const char* subkey) {
  std::vector<settings_problem> problems;
  check_settings(subkey, &problems);
  for (const settings_problem& p : problems)
    log_kind_line(LOG_KIND_FAILURE, 1, 1, " settings: %s\n", settings_problem_line(p).c_str());
}
