#include "desktop/language_modules.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "core/registry.h"
#include "core/settings.h"
#include "desktop/setting_writes.h"

static std::string languages_directory(const char* program_directory) {
  std::string dir = program_directory ? program_directory : "";
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir + LANGUAGE_DIRECTORY;
}

static int is_module_file_name(const std::string& name) {
  return name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".xrs") == 0;
}

static int less_nocase(const std::string& a, const std::string& b) {
  int c = strcasecmp(a.c_str(), b.c_str());
  return c != 0 ? c < 0 : a < b;
}

// Calls visit(name) for every regular file of the directory; bounded.
template <typename Visit>
static void for_each_file(const std::string& directory, Visit visit) {
  DIR* dir = opendir(directory.c_str());
  if (!dir) return;
  for (int n = 0; n < 10000; n++) {
    dirent* entry = readdir(dir);
    if (!entry) break;
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode)) visit(std::string(entry->d_name));
  }
  closedir(dir);
}

size_t list_language_modules(const char* program_directory, std::vector<language_module>* modules) {
  modules->clear();
  for_each_file(languages_directory(program_directory), [&](const std::string& name) {
    if (!is_module_file_name(name) || name.size() > LANGUAGE_NAME_MAX) return;
    std::string shown = name;
    shown[0] = static_cast<char>(toupper(static_cast<unsigned char>(shown[0])));
    modules->push_back(language_module{shown, name});
  });
  std::sort(modules->begin(), modules->end(),
            [](const language_module& a, const language_module& b) { return less_nocase(a.module, b.module); });
  return modules->size();
}

std::vector<std::string> language_list_rows(const std::vector<language_module>& modules,
                                            const std::string& builtin_name) {
  std::vector<std::string> rows{builtin_name};
  for (const language_module& m : modules) rows.push_back(m.module);
  std::sort(rows.begin(), rows.end(), less_nocase);
  return rows;
}

std::string language_from_environment(const char* lc_all, const char* lc_messages, const char* lang) {
  const char* chosen = nullptr;
  for (const char* value : {lc_all, lc_messages, lang}) {
    if (value && *value) {
      chosen = value;
      break;
    }
  }
  if (!chosen || strncmp(chosen, "de", 2) != 0) return "";
  char next = chosen[2];
  return next == 0 || next == '_' || next == '.' || next == '@' ? LANGUAGE_GERMAN_MODULE : "";
}

std::string choose_language_module(const std::string& stored, const char* lc_all, const char* lc_messages,
                                   const char* lang) {
  if (!stored.empty()) return stored;
  return language_from_environment(lc_all, lc_messages, lang);
}

std::string language_module_path(const char* program_directory, const std::string& name) {
  // The value comes from the store: it must name a file in the directory
  // and nothing beside or above it.
  if (name.empty() || name.size() > LANGUAGE_NAME_MAX || name.find('/') != std::string::npos || name == "." ||
      name == "..")
    return "";
  std::string directory = languages_directory(program_directory);
  std::string exact, other;
  for_each_file(directory, [&](const std::string& file) {
    if (file == name) exact = file;
    else if (other.empty() && strcasecmp(file.c_str(), name.c_str()) == 0) other = file;
  });
  if (!exact.empty()) return directory + exact;
  if (!other.empty()) return directory + other;
  return "";
}

std::string resolve_language_module(const char* program_directory) {
  char stored[LANGUAGE_NAME_MAX + 1];
  reg_read_string(SETTINGS_KEY, "Language", "", stored, sizeof stored);
  std::string name = choose_language_module(stored, getenv("LC_ALL"), getenv("LC_MESSAGES"), getenv("LANG"));
  return language_module_path(program_directory, name);
}

int store_language_choice(const std::string& module, const std::string& builtin_name) {
  if (module == builtin_name) return store_setting_text("Language", nullptr);
  if (module.empty() || module.size() > LANGUAGE_NAME_MAX) return 0;
  return store_setting_text("Language", module.c_str());
}
