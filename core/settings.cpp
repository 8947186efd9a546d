#include "core/settings.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <strings.h>

#include "core/registry.h"
#include "platform/path_names.h"
#include "platform/program_path.h"
#include "platform/udp_socket.h"

std::atomic<uint32_t> TrayIcon{1}, Iconic{0}, Percent{1}, Log{1}, CreateLog{0};
std::atomic<uint32_t> Port{69}, DataPort{0}, Timeout{1}, Retransmit{10}, Clients{10}, MMF{1}, Upload{1},
    RootIPspecific{0}, WindowSize{0}, LargeFiles{1};
std::atomic<uint32_t> Options{7}, Multicast{1}, MulticastIp{network_address(0xE0000001u)}, MulticastTTL{1}, WindowsizeMax{64},
    BlksizeMax{0};
std::atomic<uint16_t> MulticastPort{1758}, MulticastLast{65535};
std::atomic<uint32_t> AccessControl{0};

static std::mutex path_lock;
static std::string root_directory_text;
static std::string prefix_text;
static std::string log_directory_text;
static std::string listen_addresses_text;

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

std::string listen_addresses() {
  std::lock_guard<std::mutex> hold(path_lock);
  return listen_addresses_text;
}

void set_listen_addresses(const std::string& text) {
  std::lock_guard<std::mutex> hold(path_lock);
  listen_addresses_text = text;
}

int parse_listen_addresses(const std::string& list, std::vector<ip_address>* addresses, std::string* bad_entry) {
  addresses->clear();
  for (size_t at = 0; at <= list.size();) {
    size_t end = list.find(';', at);
    if (end == std::string::npos) end = list.size();
    size_t first = at, last = end;
    while (first < last && (list[first] == ' ' || list[first] == '\t')) first++;
    while (last > first && (list[last - 1] == ' ' || list[last - 1] == '\t')) last--;
    at = end + 1;
    if (first == last) continue;
    std::string entry = list.substr(first, last - first);
    ip_address address;
    if (!parse_ip_address(entry.c_str(), &address)) {
      *bad_entry = entry;
      return 0;
    }
    int seen = 0;
    for (const ip_address& other : *addresses) seen |= same_address(other, address);
    if (!seen) addresses->push_back(address);
  }
  return 1;
}

uint32_t negotiated_blksize_cap() {
  uint32_t cap = BlksizeMax;
  return cap == 0 ? BLKSIZE_MAX : cap < BLKSIZE_MIN ? BLKSIZE_MIN : cap;
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

constexpr size_t SETTING_NUMBER_TEXT = REG_NUMBER_TEXT_MAX;

const setting_info setting_table[] = {
    // Group 1
    {"TrayIcon", SETTING_SWITCH, 1, 0, 1, 0, 1, SETTING_NUMBER_TEXT},
    {"Iconic", SETTING_SWITCH, 0, 0, 1, 0, 1, SETTING_NUMBER_TEXT},
    {"Percent", SETTING_SWITCH, 1, 0, 1, 0, 1, SETTING_NUMBER_TEXT},
    {"Log", SETTING_NUMBER, 1, 0, LOG_LEVEL_MAX, 0, LOG_LEVEL_MAX, SETTING_NUMBER_TEXT},
    {"CreateLog", SETTING_SWITCH, 0, 0, 1, 0, 1, SETTING_NUMBER_TEXT},
    // Group 2
    {"Port", SETTING_NUMBER, 69, 1, 65535, 69, 69, SETTING_NUMBER_TEXT},
    {"DataPort", SETTING_NUMBER, 0, 0, 65535, 0, 0, SETTING_NUMBER_TEXT},
    {"Timeout", SETTING_NUMBER, 1, 1, 255, 1, 255, SETTING_NUMBER_TEXT},
    {"Retransmit", SETTING_NUMBER, 10, 0, 255, 0, 255, SETTING_NUMBER_TEXT},
    {"Clients", SETTING_NUMBER, 10, 0, CLIENTS_MAX, 0, CLIENTS_MAX, SETTING_NUMBER_TEXT},
    {"MMF", SETTING_NUMBER, 1, 0, 3, 0, 1, SETTING_NUMBER_TEXT},
    {"Upload", SETTING_SWITCH, 1, 0, 1, 0, 1, SETTING_NUMBER_TEXT},
    {"RootIPspecific", SETTING_SWITCH, 0, 0, 1, 0, 1, SETTING_NUMBER_TEXT},
    {"WindowSize", SETTING_SWITCH, 0, 0, 1, 0, 1, SETTING_NUMBER_TEXT},
    {"LargeFiles", SETTING_SWITCH, 1, 0, 1, 0, 1, SETTING_NUMBER_TEXT},
    {"Prefix", SETTING_PREFIXES, 0, 0, 0, 0, 0, SETTINGS_PATH_MAX},
    {"RootDirectory", SETTING_DIRECTORY, 0, 0, 0, 0, 0, SETTINGS_PATH_MAX},
    {"ListenAddresses", SETTING_TEXT, 0, 0, 0, 0, 0, LISTEN_ADDRESSES_MAX},  // read at start only
    // Group 3
    {"Options", SETTING_MASK, 7, 0, 7, 0, 7, SETTING_NUMBER_TEXT},  // blksize, timeout, tsize
    {"Multicast", SETTING_SWITCH, 1, 0, 1, 0, 1, SETTING_NUMBER_TEXT},
    {"MulticastIp", SETTING_ADDRESS, 0, 0, 0, 0, 0, 17},
    {"MulticastPort", SETTING_NUMBER, 1758, 1, 65535, 1758, 1758, SETTING_NUMBER_TEXT},
    {"MulticastLast", SETTING_NUMBER, 65535, 1, 65535, 65535, 65535, SETTING_NUMBER_TEXT},
    {"MulticastTTL", SETTING_NUMBER, 1, 1, 255, 1, 1, SETTING_NUMBER_TEXT},
    {"WindowsizeMax", SETTING_NUMBER, 64, 0, WINDOWSIZE_LIMIT, 0, WINDOWSIZE_LIMIT, SETTING_NUMBER_TEXT},
    {"BlksizeMax", SETTING_NUMBER, 0, 0, BLKSIZE_MAX, 0, BLKSIZE_MAX, SETTING_NUMBER_TEXT},
    // Group 4
    {"AccessControl", SETTING_SWITCH, 0, 0, 1, 0, 1, SETTING_NUMBER_TEXT},
    // Read by one program only, or by none of the loaders.
    {"MaxClients", SETTING_NUMBER, 100, 0, UINT32_MAX, 0, UINT32_MAX, SETTING_NUMBER_TEXT},  // the desktop's page
    {"Language", SETTING_TEXT, 0, 0, 0, 0, 0, 31},                                            // the desktop's module
    {"LogDirectory", SETTING_DIRECTORY, 0, 0, 0, 0, 0, SETTINGS_PATH_MAX},                   // where logs go
    {"Path", SETTING_TEXT, 0, 0, 0, 0, 0, SIZE_MAX},   // the program directory, for Windows tools
    {"Stop", SETTING_SWITCH, 0, 0, 1, 0, 1, SETTING_NUMBER_TEXT},  // the control channel's pause
};
const size_t setting_count = sizeof setting_table / sizeof setting_table[0];

const setting_info* find_setting(const char* name) {
  for (size_t i = 0; i < setting_count; i++)
    if (strcasecmp(setting_table[i].name, name) == 0) return &setting_table[i];
  return nullptr;
}

uint32_t setting_number(const setting_info* info, uint32_t read) {
  switch (info->kind) {
    case SETTING_SWITCH:
      return read != 0 ? 1 : 0;
    case SETTING_MASK:
      return read & info->high;
    default:
      return read < info->low ? info->below : read > info->high ? info->above : read;
  }
}

int parse_multicast_ip(const char* text, uint32_t* address) {
  unsigned a, b, c, d;
  if (sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a > 255 || b > 255 || c > 255 || d > 255) return 0;
  *address = network_address((a << 24) | (b << 16) | (c << 8) | d);
  return 1;
}

// Every number is brought into its range as it is loaded.
static uint32_t load_number(const char* subkey, const char* name) {
  const setting_info* info = find_setting(name);
  return setting_number(info, reg_read_number(subkey, name, info->default_value));
}

void load_general_settings(const char* subkey) {
  TrayIcon = load_number(subkey, "TrayIcon");
  Iconic = load_number(subkey, "Iconic");
  Percent = load_number(subkey, "Percent");
  Log = load_number(subkey, "Log");
  CreateLog = load_number(subkey, "CreateLog");
  char text[SETTINGS_PATH_MAX + 1];
  reg_read_string(subkey, "LogDirectory", "", text, sizeof text);
  set_log_directory_setting(text);
}

void load_server_settings(const char* subkey) {
  Port = load_number(subkey, "Port");
  DataPort = load_number(subkey, "DataPort");
  Timeout = load_number(subkey, "Timeout");
  Retransmit = load_number(subkey, "Retransmit");
  Clients = load_number(subkey, "Clients");
  MMF = load_number(subkey, "MMF");
  Upload = load_number(subkey, "Upload");
  RootIPspecific = load_number(subkey, "RootIPspecific");
  WindowSize = load_number(subkey, "WindowSize");
  LargeFiles = load_number(subkey, "LargeFiles");

  char text[SETTINGS_PATH_MAX + 1];
  reg_read_string(subkey, "Prefix", "", text, sizeof text);
  set_prefix_list(text);

  // An unset root is a directory of its own, never the program's; a stored
  // one is taken as written.
  if (reg_read_string(subkey, "RootDirectory", "", text, sizeof text) == 0) default_root_directory(text, sizeof text);
  set_root_directory(text);

  char addresses[LISTEN_ADDRESSES_MAX + 1];
  reg_read_string(subkey, "ListenAddresses", "", addresses, sizeof addresses);
  set_listen_addresses(addresses);
}

void load_option_settings(const char* subkey) {
  Options = load_number(subkey, "Options");
  Multicast = load_number(subkey, "Multicast");

  char text[18];
  uint32_t address;
  if (reg_read_string(subkey, "MulticastIp", "", text, sizeof text) > 0 && parse_multicast_ip(text, &address))
    MulticastIp = address;
  MulticastPort = static_cast<uint16_t>(load_number(subkey, "MulticastPort"));
  MulticastLast = static_cast<uint16_t>(load_number(subkey, "MulticastLast"));
  MulticastTTL = load_number(subkey, "MulticastTTL");
  WindowsizeMax = load_number(subkey, "WindowsizeMax");
  BlksizeMax = load_number(subkey, "BlksizeMax");
}

void load_access_setting(const char* subkey) { AccessControl = load_number(subkey, "AccessControl"); }

void load_settings(const char* subkey) {
  load_general_settings(subkey);
  load_server_settings(subkey);
  load_option_settings(subkey);
  load_access_setting(subkey);
}
