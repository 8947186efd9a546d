#include "core/settings.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/registry.h"

std::atomic<uint32_t> TrayIcon{1}, Iconic{0}, Percent{1}, Log{1}, CreateLog{0};
std::atomic<uint32_t> Port{69}, DataPort{0}, Timeout{1}, Retransmit{10}, Clients{10}, MMF{1}, Upload{1},
    RootIPspecific{0}, WindowSize{0}, LargeFiles{1};
std::atomic<uint32_t> Options{7}, Multicast{1}, MulticastIp{htonl(0xE0000001u)}, MulticastTTL{1};
std::atomic<uint16_t> MulticastPort{1758}, MulticastLast{65535};
std::atomic<uint32_t> AccessControl{0};

static std::mutex path_lock;
static std::string root_directory_text;
static std::string prefix_text;

std::string root_directory() {
  std::lock_guard<std::mutex> hold(path_lock);
  return root_directory_text;
}

std::string prefix_list() {
  std::lock_guard<std::mutex> hold(path_lock);
  return prefix_text;
}

void set_root_directory(const std::string& text) {
  std::lock_guard<std::mutex> hold(path_lock);
  root_directory_text = text;
}

void set_prefix_list(const std::string& text) {
  std::lock_guard<std::mutex> hold(path_lock);
  prefix_text = text;
}

void load_general_settings(const char* subkey) {
  TrayIcon = reg_read_number(subkey, "TrayIcon", 1);
  Iconic = reg_read_number(subkey, "Iconic", 0);
  Percent = reg_read_number(subkey, "Percent", 1);
  Log = reg_read_number(subkey, "Log", 1);
  CreateLog = reg_read_number(subkey, "CreateLog", 0);
}

void load_server_settings(const char* subkey) {
  Port = reg_read_number(subkey, "Port", 69);
  DataPort = reg_read_number(subkey, "DataPort", 0);
  Timeout = reg_read_number(subkey, "Timeout", 1);
  Retransmit = reg_read_number(subkey, "Retransmit", 10);
  Clients = reg_read_number(subkey, "Clients", 10);
  MMF = reg_read_number(subkey, "MMF", 1);
  Upload = reg_read_number(subkey, "Upload", 1);
  RootIPspecific = reg_read_number(subkey, "RootIPspecific", 0);
  WindowSize = reg_read_number(subkey, "WindowSize", 0);
  LargeFiles = reg_read_number(subkey, "LargeFiles", 1);

  char text[SETTINGS_PATH_MAX + 1];
  reg_read_string(subkey, "Prefix", "", text, sizeof text);
  set_prefix_list(text);

  // An unset root is the current directory; a stored one is taken as written.
  if (reg_read_string(subkey, "RootDirectory", "", text, sizeof text) == 0) {
    if (!getcwd(text, sizeof text - 1)) text[0] = 0;
    size_t n = strlen(text);
    if (n == 0 || text[n - 1] != '/') {
      text[n] = '/';
      text[n + 1] = 0;
    }
  }
  set_root_directory(text);
}

void load_option_settings(const char* subkey) {
  Options = reg_read_number(subkey, "Options", 7);
  Multicast = reg_read_number(subkey, "Multicast", 1);

  char text[18];
  unsigned a, b, c, d;
  if (reg_read_string(subkey, "MulticastIp", "", text, sizeof text) > 0 &&
      sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) == 4 && a < 256 && b < 256 && c < 256 &&
      d < 256) {
    MulticastIp = htonl((a << 24) | (b << 16) | (c << 8) | d);
  }
  MulticastPort = static_cast<uint16_t>(reg_read_number(subkey, "MulticastPort", 1758));
  MulticastLast = static_cast<uint16_t>(reg_read_number(subkey, "MulticastLast", 65535));
  MulticastTTL = reg_read_number(subkey, "MulticastTTL", 1);
}

void load_access_setting(const char* subkey) { AccessControl = reg_read_number(subkey, "AccessControl", 0); }

void load_settings(const char* subkey) {
  load_general_settings(subkey);
  load_server_settings(subkey);
  load_option_settings(subkey);
  load_access_setting(subkey);
}
