// Directory of the running executable, from /proc/self/exe.
#include "platform/program_path.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

// The executable's full path, or an empty string with errno set.
static std::string executable_path() {
  // readlink does not say how long the target is; grow until it fits.
  std::string target(256, '\0');
  for (int tries = 0; tries < 8; ++tries) {
    ssize_t n = readlink("/proc/self/exe", target.data(), target.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
  errno = ENAMETOOLONG;
  return std::string();
}

// Copies the first length bytes of text with a zero into buffer.
static size_t copy_out(const std::string& text, size_t length, char* buffer, size_t size) {
  if (length == 0 || length + 1 > size) {
    errno = ENAMETOOLONG;
    return 0;
  }
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return length;
}

size_t module_directory(char* buffer, size_t size) {
  if (buffer && size > 0) buffer[0] = '\0';
  if (!buffer || size == 0) return 0;
  std::string target = executable_path();
  size_t slash = target.rfind('/');
  if (slash == std::string::npos) return 0;
  return copy_out(target, slash + 1, buffer, size);  // keep the trailing "/"
}

size_t module_file_path(char* buffer, size_t size) {
  if (buffer && size > 0) buffer[0] = '\0';
  if (!buffer || size == 0) return 0;
  std::string target = executable_path();
  if (target.empty()) return 0;
  return copy_out(target, target.size(), buffer, size);
}

// The log directory of a program installed with the Linux layout.
constexpr const char* PROGRAM_LOG_DIRECTORY = "/var/log/orvanel-tftp/";
constexpr const char* PROGRAM_DATA_NAME = "share/orvanel-tftp/";

static int log_per_user = 0;

void keep_log_per_user() { log_per_user = 1; }

// "<prefix>/" when the program lies in <prefix>/bin/ or <prefix>/sbin/ and
// <prefix>/share/ exists: installed with the Linux layout. A build tree
// (build/bin/ has no build/share/) and a copy in a directory of its own
// give "".
static std::string installed_prefix() {
  std::string target = executable_path();
  size_t slash = target.rfind('/');
  if (slash == std::string::npos || slash == 0) return std::string();
  size_t parent = target.rfind('/', slash - 1);
  if (parent == std::string::npos) return std::string();
  std::string name = target.substr(parent + 1, slash - parent - 1);
  if (name != "bin" && name != "sbin") return std::string();
  std::string prefix = target.substr(0, parent + 1);
  struct stat st;
  if (stat((prefix + "share").c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::string();
  return prefix;
}

size_t data_directory(char* buffer, size_t size) {
  std::string prefix = installed_prefix();
  if (prefix.empty()) return module_directory(buffer, size);
  if (buffer && size > 0) buffer[0] = '\0';
  if (!buffer || size == 0) return 0;
  std::string data = prefix + PROGRAM_DATA_NAME;
  return copy_out(data, data.size(), buffer, size);
}

// $XDG_STATE_HOME/orvanel-tftp/ or ~/.local/state/orvanel-tftp/, made (0700)
// when missing: nobody else makes a user's directory. "" without a home.
static std::string user_state_directory() {
  std::string base;
  const char* state = getenv("XDG_STATE_HOME");
  const char* home = getenv("HOME");
  if (state && state[0] == '/') {
    base = state;
  } else if (home && home[0] == '/') {
    base = std::string(home) + "/.local/state";
  } else {
    struct passwd* entry = getpwuid(getuid());
    if (!entry || !entry->pw_dir || entry->pw_dir[0] != '/') return std::string();
    base = std::string(entry->pw_dir) + "/.local/state";
  }
  std::string directory = base + "/orvanel-tftp/";
  for (size_t at = 1; at < directory.size(); ++at) {
    if (directory[at] != '/') continue;
    std::string part = directory.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
  }
  return directory;
}

size_t log_directory(const char* configured, char* buffer, size_t size) {
  if (buffer && size > 0) buffer[0] = '\0';
  if (!buffer || size == 0) return 0;
  std::string chosen;
  // systemd's LogsDirectory= hands the service a directory of its own.
  const char* given = getenv("LOGS_DIRECTORY");
  if (configured && configured[0] == '/') {
    chosen = configured;
  } else if (given && given[0] == '/') {
    chosen.assign(given, strcspn(given, ":"));
  } else if (!installed_prefix().empty()) {
    if (log_per_user && geteuid() != 0) chosen = user_state_directory();
    if (chosen.empty()) chosen = PROGRAM_LOG_DIRECTORY;
  } else {
    return module_directory(buffer, size);
  }
  if (chosen.back() != '/') chosen += '/';
  return copy_out(chosen, chosen.size(), buffer, size);
}

int program_path_in_store() { return 0; }
