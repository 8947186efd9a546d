#include "core/settings.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/registry.h"
#include "platform/path_names.h"
#include "platform/program_path.h"
#include "platform/udp_socket.h"

std::atomic<uint32_t> TrayIcon{1}, Iconic{0}, Percent{1}, Log{1}, CreateLog{0};
std::atomic<uint32_t> Port{69}, DataPort{0}, Timeout{1}, Retransmit{10}, Clients{10}, MMF{1}, Upload{1},
    RootIPspecific{0}, WindowSize{0}, LargeFiles{1};
std::atomic<uint32_t> Options{7}, Multicast{1}, MulticastIp{network_address(0xE0000001u)}, MulticastTTL{1}, WindowsizeMax{64};
std::atomic<uint16_t> MulticastPort{1758}, MulticastLast{65535};
std::atomic<uint32_t> AccessControl{0};

static std::mutex path_lock;
static std::string root_directory_text;
static std::string prefix_text;
static std::string log_directory_text;

std::string root_directory() {
  std::lock_guard<std::mutex> hold(path_lock);
  return root_directory_text;
}

std::string prefix_list() {
  std::lock_guard<std::mutex> hold(path_lock);
  return prefix_text;
}

std::vector<std::string> prefix_entries() {
  std::string list = prefix_list();
  std::vector<std::string> entries;
  for (size_t at = 0; at <= list.size();) {
    size_t end = list.find(';', at);
    if (end == std::string::npos) end = list.size();
    if (end > at) entries.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return entries;
}

void set_root_directory(const std::string& text) {
  std::lock_guard<std::mutex> hold(path_lock);
  root_directory_text = text;
}

void set_prefix_list(const std::string& text) {
  std::lock_guard<std::mutex> hold(path_lock);
  prefix_text = text;
}

std::string log_directory_setting() {
  std::lock_guard<std::mutex> hold(path_lock);
  return log_directory_text;
}

void set_log_directory_setting(const std::string& text) {
  std::lock_guard<std::mutex> hold(path_lock);
  log_directory_text = text;
}

std::string transfer_log_directory() {
  char directory[4096];
  log_directory(log_directory_setting().c_str(), directory, sizeof directory);
  return directory;
}

uint32_t data_port_range_end(uint32_t first) {
  // Both are in range since load, so the sum cannot wrap; Clients 0 gives an
  // empty range (first - 1).
  uint32_t last = first + Clients - 1;
  return last > 65535 ? 65535 : last;
}

// Every number is brought into its range as it is loaded: a value below
// `low` becomes `below`, one above `high` becomes `above` (a bound or the
// default).
static uint32_t load_number(const char* subkey, const char* name, uint32_t default_value, uint32_t low,
                            uint32_t high, uint32_t below, uint32_t above) {
  uint32_t value = reg_read_number(subkey, name, default_value);
  return value < low ? below : value > high ? above : value;
}

// A switch: any nonzero value is 1.
static uint32_t load_switch(const char* subkey, const char* name, uint32_t default_value) {
  return reg_read_number(subkey, name, default_value) != 0 ? 1 : 0;
}

void load_general_settings(const char* subkey) {
  TrayIcon = load_switch(subkey, "TrayIcon", 1);
  Iconic = load_switch(subkey, "Iconic", 0);
  Percent = load_switch(subkey, "Percent", 1);
  Log = load_number(subkey, "Log", 1, 0, LOG_LEVEL_MAX, 0, LOG_LEVEL_MAX);
  CreateLog = load_switch(subkey, "CreateLog", 0);
  char text[SETTINGS_PATH_MAX + 1];
  reg_read_string(subkey, "LogDirectory", "", text, sizeof text);
  set_log_directory_setting(text);
}

void load_server_settings(const char* subkey) {
  Port = load_number(subkey, "Port", 69, 1, 65535, 69, 69);
  DataPort = load_number(subkey, "DataPort", 0, 0, 65535, 0, 0);
  Timeout = load_number(subkey, "Timeout", 1, 1, 255, 1, 255);
  Retransmit = load_number(subkey, "Retransmit", 10, 0, 255, 0, 255);
  Clients = load_number(subkey, "Clients", 10, 0, CLIENTS_MAX, 0, CLIENTS_MAX);
  MMF = load_number(subkey, "MMF", 1, 0, 3, 0, 1);
  Upload = load_switch(subkey, "Upload", 1);
  RootIPspecific = load_switch(subkey, "RootIPspecific", 0);
  WindowSize = load_switch(subkey, "WindowSize", 0);
  LargeFiles = load_switch(subkey, "LargeFiles", 1);

  char text[SETTINGS_PATH_MAX + 1];
  reg_read_string(subkey, "Prefix", "", text, sizeof text);
  set_prefix_list(text);

  // An unset root is a directory of its own, never the program's; a stored
  // one is taken as written.
  if (reg_read_string(subkey, "RootDirectory", "", text, sizeof text) == 0) default_root_directory(text, sizeof text);
  set_root_directory(text);
}

void load_option_settings(const char* subkey) {
  Options = reg_read_number(subkey, "Options", 7) & 7u;  // blksize, timeout, tsize
  Multicast = load_switch(subkey, "Multicast", 1);

  char text[18];
  unsigned a, b, c, d;
  if (reg_read_string(subkey, "MulticastIp", "", text, sizeof text) > 0 &&
      sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) == 4 && a < 256 && b < 256 && c < 256 &&
      d < 256) {
    MulticastIp = network_address((a << 24) | (b << 16) | (c << 8) | d);
  }
  MulticastPort = static_cast<uint16_t>(load_number(subkey, "MulticastPort", 1758, 1, 65535, 1758, 1758));
  MulticastLast = static_cast<uint16_t>(load_number(subkey, "MulticastLast", 65535, 1, 65535, 65535, 65535));
  MulticastTTL = load_number(subkey, "MulticastTTL", 1, 1, 255, 1, 1);
  WindowsizeMax = load_number(subkey, "WindowsizeMax", 64, 0, WINDOWSIZE_LIMIT, 0, WINDOWSIZE_LIMIT);
}

void load_access_setting(const char* subkey) { AccessControl = load_switch(subkey, "AccessControl", 0); }

void load_settings(const char* subkey) {
  load_general_settings(subkey);
  load_server_settings(subkey);
  load_option_settings(subkey);
  load_access_setting(subkey);
}
