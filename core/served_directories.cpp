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
    int contains = directory_within(canonical, own[i].path);
    int inside = directory_within(own[i].path, canonical);
    if (!contains && !inside) continue;
    const char* relation = contains && inside ? "is" : contains ? "contains" : "lies inside";
    snprintf(message, size, "%s %s %s the %s %s: %s", setting, canonical, relation, own[i].what, own[i].path,
             served_reasons[own[i].kind]);
    return own[i].kind;
  }
  return SERVED_CLEAR;
}

int check_served_directories(char* message, size_t size) {
  if (size) message[0] = 0;
  std::string root = root_directory();
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
  std::string logs = transfer_log_directory();
  if (!logs.empty()) canonical_directory(logs.c_str(), own[2].path, sizeof own[2].path);

  int conflict = check_one("RootDirectory", root.c_str(), own, 3, message, size);
  for (const std::string& entry : prefix_entries()) {
    if (conflict) break;
    conflict = check_one("Prefix entry", entry.c_str(), own, 3, message, size);
  }
  if (conflict) return conflict;
  int root_kind = path_kind(root.c_str());
  if (root_kind == PATH_KIND_DIRECTORY) return SERVED_CLEAR;
  snprintf(message, size, "RootDirectory %s %s: the server would answer every request with \"File not found\"",
           root.c_str(), root_kind == PATH_KIND_MISSING ? "does not exist" : "is not a directory");
  return SERVED_NO_ROOT;
}
