#include "core/served_directories.h"

#include <cstdio>
#include <string>

#include "core/settings.h"
#include "platform/path_names.h"
#include "platform/program_path.h"
#include "platform/registry_store.h"

struct own_directory {
  int kind;
  const char* what;
  char path[4096];
};

static const char* const served_reasons[] = {
    "", "clients could replace the server's programs", "clients could read and replace its settings",
    "clients could read and overwrite its logs"};

// Checks one served directory against the server's own; 0 or a conflict.
static int check_one(const char* setting, const char* served, const own_directory* own, size_t count,
                     char* message, size_t size) {
  char canonical[4096];
  if (canonical_directory(served, canonical, sizeof canonical) == 0) return SERVED_CLEAR;
  for (size_t i = 0; i < count; i++) {
    if (!own[i].path[0]) continue;
    const char* relation = directory_within(canonical, own[i].path)   ? "contains"
                           : directory_within(own[i].path, canonical) ? "lies inside"
                                                                      : nullptr;
    if (!relation) continue;
    if (directory_within(canonical, own[i].path) && directory_within(own[i].path, canonical)) relation = "is";
    snprintf(message, size, "%s %s %s the %s %s: %s", setting, canonical, relation, own[i].what, own[i].path,
             served_reasons[own[i].kind]);
    return own[i].kind;
  }
  return SERVED_CLEAR;
}

int check_served_directories(char* message, size_t size) {
  if (size) message[0] = 0;
  own_directory own[3] = {{SERVED_PROGRAMS, "program directory", {}},
                          {SERVED_STORE, "settings store's directory", {}},
                          {SERVED_LOGS, "log directory", {}}};
  char text[4096];
  if (module_directory(text, sizeof text) > 0) canonical_directory(text, own[0].path, sizeof own[0].path);
  // Where the store is a file: its directory (the Windows registry is none).
  std::string store = store_file_path(HIVE_MACHINE);
  size_t cut = store.find_last_of("/\\");
  if (cut != std::string::npos)
    canonical_directory(store.substr(0, cut + 1).c_str(), own[1].path, sizeof own[1].path);
  if (log_directory(text, sizeof text) > 0) canonical_directory(text, own[2].path, sizeof own[2].path);

  int conflict = check_one("RootDirectory", root_directory().c_str(), own, 3, message, size);
  if (conflict) return conflict;
  std::string prefixes = prefix_list();
  for (size_t at = 0; at <= prefixes.size();) {
    size_t end = prefixes.find(';', at);
    if (end == std::string::npos) end = prefixes.size();
    std::string entry = prefixes.substr(at, end - at);
    if (!entry.empty()) {
      conflict = check_one("Prefix entry", entry.c_str(), own, 3, message, size);
      if (conflict) return conflict;
    }
    at = end + 1;
  }
  return SERVED_CLEAR;
}
