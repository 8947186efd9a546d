#include "desktop/preferences_pages.h"

#include <arpa/inet.h>

#include <cstdio>

#include "core/registry.h"
#include "core/settings.h"
#include "desktop/setting_writes.h"

// ---------------------------------------------------------------- texts

int number_from_text(const std::string& text, uint32_t limit, uint32_t* out) {
  if (text.empty()) return 0;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10u + static_cast<uint64_t>(c - '0');
    if (value >= limit) return 0;  // also stops the sum before it could wrap
  }
  *out = static_cast<uint32_t>(value);
  return 1;
}

uint32_t port_from_text(const std::string& text, uint32_t fallback) {
  uint32_t port;
  return number_from_text(text, 65536, &port) && port != 0 ? port : fallback;
}

std::string root_directory_from_text(const std::string& text) {
  if (text.empty()) return {};
  std::string root = text;
  if (root.back() != '/') root += '/';
  if (root.size() > static_cast<size_t>(SETTINGS_PATH_MAX)) return {};
  return root;
}

std::string folder_browser_start(const std::string& root) {
  if (root.size() > 1 && root.back() == '/') return root.substr(0, root.size() - 1);
  return root;
}

std::string folder_browser_status(const std::string& path) {
  if (path.size() <= 48) return path;
  return "..." + path.substr(path.size() - 45);
}

int row_of_value(uint32_t value, int rows) {
  return value >= 1 && value <= static_cast<uint32_t>(rows) ? static_cast<int>(value) - 1 : PREF_NO_ROW;
}

int multicast_address_from_text(const std::string& text, uint32_t* address_out) {
  // The loader reads the value into 18 bytes: a longer text would not load.
  if (text.empty() || text.size() > 17) return 0;
  uint32_t address = 0;
  size_t p = 0;
  for (int part = 0; part < 4; part++) {
    if (part > 0) {
      if (p >= text.size() || text[p] != '.') return 0;
      p++;
    }
    size_t start = p;
    uint32_t number = 0;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9' && number < 256)
      number = number * 10u + static_cast<uint32_t>(text[p++] - '0');
    if (p == start || number > 255 || (p < text.size() && text[p] >= '0' && text[p] <= '9')) return 0;
    address = (address << 8) | number;
  }
  if (p != text.size()) return 0;
  if ((address >> 28) != 0xE) return 0;  // only a group address can be one
  *address_out = htonl(address);
  return 1;
}

static std::string decimal(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%u", value);
  return text;
}

// ---------------------------------------------------------------- General

void load_general_page(general_page* page, int has_start_entry) {
  page->tray_icon = TrayIcon != 0;
  page->iconic = Iconic != 0;
  page->start_at_boot_shown = has_start_entry >= 0;
  page->start_at_boot = has_start_entry > 0;
  page->percent = Percent != 0;
  page->write_log = Log != 0;
  page->log_choice_enabled = page->write_log;
  page->daily = CreateLog != 0;
}

int apply_general_page(const general_page* page) {
  int ok = 1;
  TrayIcon = page->tray_icon ? 1 : 0;
  ok &= store_setting_number("TrayIcon", TrayIcon, 1);
  Iconic = page->iconic ? 1 : 0;
  ok &= store_setting_number("Iconic", Iconic, 0);
  uint32_t level = page->write_log ? (Log != 0 ? Log.load() : 1u) : 0u;
  Log = level;
  ok &= store_setting_number("Log", level, 1);
  CreateLog = page->daily ? 1 : 0;
  ok &= store_setting_number("CreateLog", CreateLog, 0);
  Percent = page->percent ? 1 : 0;
  ok &= store_setting_number("Percent", Percent, 1);
  return ok;
}

// ---------------------------------------------------------------- Server

uint32_t read_max_clients() {
  uint32_t max = reg_read_number(SETTINGS_KEY, "MaxClients", PREF_MAX_CLIENTS_DEFAULT);
  if (max == 0) return PREF_MAX_CLIENTS_DEFAULT;  // a bar from 1 to 0 offers nothing
  return max > CLIENTS_MAX ? CLIENTS_MAX : max;
}

clients_track_bar clients_track_bar_of(uint32_t max_clients) {
  clients_track_bar bar;
  bar.low = 1;
  bar.high = static_cast<int>(max_clients == 0 ? 1 : max_clients > CLIENTS_MAX ? CLIENTS_MAX : max_clients);
  bar.step = bar.high < 51 ? 5 : 10;
  for (int t = bar.step; t < bar.high; t += bar.step) bar.ticks.push_back(t);
  return bar;
}

static int clients_position(uint32_t clients, uint32_t max_clients) {
  clients_track_bar bar = clients_track_bar_of(max_clients);
  if (clients < static_cast<uint32_t>(bar.low)) return bar.low;
  if (clients > static_cast<uint32_t>(bar.high)) return bar.high;
  return static_cast<int>(clients);
}

void load_server_page(server_page* page, uint32_t max_clients) {
  page->port = decimal(Port);
  page->data_port = DataPort != 0 ? decimal(DataPort) : std::string();
  page->root_directory = root_directory();
  page->root_ip_specific = RootIPspecific != 0;
  page->timeout_row = row_of_value(Timeout, PREF_TIMEOUT_ROWS);
  page->retransmit_row = row_of_value(Retransmit, PREF_RETRANSMIT_ROWS);
  page->clients = clients_position(Clients, max_clients);
  page->window_size = WindowSize != 0;
}

int apply_server_page(const server_page* page, uint32_t max_clients) {
  int ok = 1;
  Port = port_from_text(page->port, 69);
  ok &= store_setting_number("Port", Port, 69);
  DataPort = port_from_text(page->data_port, 0);
  ok &= store_setting_number("DataPort", DataPort, 0);

  // An empty field deletes the value and keeps the running root; a path too
  // long to be loaded again changes neither.
  std::string root = root_directory_from_text(page->root_directory);
  if (!root.empty()) {
    if (store_setting_text("RootDirectory", root.c_str())) {
      set_root_directory(root);
    } else {
      ok = 0;
    }
  } else if (page->root_directory.empty()) {
    ok &= store_setting_text("RootDirectory", nullptr);
  } else {
    ok = 0;
  }

  RootIPspecific = page->root_ip_specific ? 1 : 0;
  ok &= store_setting_number("RootIPspecific", RootIPspecific, 0);
  if (page->timeout_row >= 0 && page->timeout_row < PREF_TIMEOUT_ROWS) {
    Timeout = static_cast<uint32_t>(page->timeout_row) + 1;
    ok &= store_setting_number("Timeout", Timeout, 1);
  }
  if (page->retransmit_row >= 0 && page->retransmit_row < PREF_RETRANSMIT_ROWS) {
    Retransmit = static_cast<uint32_t>(page->retransmit_row) + 1;
    ok &= store_setting_number("Retransmit", Retransmit, 10);
  }
  if (page->clients > 0) {
    Clients = static_cast<uint32_t>(clients_position(static_cast<uint32_t>(page->clients), max_clients));
    ok &= store_setting_number("Clients", Clients, 10);
  }
  WindowSize = page->window_size ? 1 : 0;
  ok &= store_setting_number("WindowSize", WindowSize, 0);
  return ok;
}

// ---------------------------------------------------------------- Options

void load_options_page(options_page* page) {
  uint32_t options = Options;
  page->blksize = (options & 1u) != 0;
  page->timeout = (options & 2u) != 0;
  page->tsize = (options & 4u) != 0;
  page->multicast = Multicast != 0;
  page->multicast_fields_enabled = page->multicast;
  uint32_t ip = MulticastIp;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip);
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  page->multicast_ip = text;
  page->multicast_port = decimal(MulticastPort);
  page->multicast_ttl = decimal(MulticastTTL);
  page->windowsize_max = decimal(WindowsizeMax);
}

int apply_options_page(const options_page* page) {
  int ok = 1;
  uint32_t options = (page->blksize ? 1u : 0u) | (page->timeout ? 2u : 0u) | (page->tsize ? 4u : 0u);
  ok &= store_setting_number("Options", options, 7);
  ok &= store_setting_number("Multicast", page->multicast ? 1 : 0, 1);
  if (page->multicast) {
    uint32_t address;
    // Stored as typed (239.001.002.003 stays so); the default is no value.
    if (multicast_address_from_text(page->multicast_ip, &address) && address != htonl(0xE0000001u)) {
      ok &= store_setting_text("MulticastIp", page->multicast_ip.c_str());
    } else {
      ok &= store_setting_text("MulticastIp", nullptr);
      // The loader keeps the last address when the value is absent.
      MulticastIp = htonl(0xE0000001u);
    }
    uint32_t port;
    if (!number_from_text(page->multicast_port, 65536, &port) || port == 0) port = 1758;
    ok &= store_setting_number("MulticastPort", port, 1758);
    uint32_t ttl;
    if (!number_from_text(page->multicast_ttl, 256, &ttl) || ttl == 0) ttl = 1;
    ok &= store_setting_number("MulticastTTL", ttl, 1);
  }
  uint32_t window;
  if (!number_from_text(page->windowsize_max, WINDOWSIZE_LIMIT + 1, &window)) window = 64;
  ok &= store_setting_number("WindowsizeMax", window, 64);
  load_option_settings(SETTINGS_KEY);
  return ok;
}
