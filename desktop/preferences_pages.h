// The General, Server and Options pages of the preferences sheet without a
// window: what the controls show for the current settings, and what Apply
// stores and sets from the controls' values. The dialogs only copy values
// between their controls and these records.
//
// Every Apply writes the store and the process-wide settings in the same
// step, so the running server follows from its next request. A number that
// is empty, malformed or out of range falls back to its default silently;
// a number equal to its default is stored as no value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Rows of the two list boxes on the Server page.
constexpr int PREF_TIMEOUT_ROWS = 20;     // "1" .. "20" seconds
constexpr int PREF_RETRANSMIT_ROWS = 10;  // "1" .. "10"
constexpr int PREF_NO_ROW = -1;           // a value set outside the program
constexpr uint32_t PREF_MAX_CLIENTS_DEFAULT = 100;

struct general_page {
  int tray_icon;            // "System Tray icon"
  int iconic;               // "Start iconic"
  int start_at_boot_shown;  // the start-at-boot box exists on this system
  int start_at_boot;        // "Start at Boot as service"
  int write_log;            // "Write transfer log"
  int daily;                // "daily" (1) or "monthly" (0)
  int log_choice_enabled;   // the two radio buttons follow write_log
  int percent;              // "Show Percent complete"
};

struct server_page {
  std::string port;            // edit, digits
  std::string data_port;       // edit, digits; empty for 0
  std::string root_directory;  // read-only edit, set by the folder browser
  int root_ip_specific;
  int timeout_row;     // 0 .. 19, or PREF_NO_ROW
  int retransmit_row;  // 0 .. 9, or PREF_NO_ROW
  int clients;         // track bar position
  int window_size;     // "Don't wait for ACK"
};

// The track bar of "No. of active Clients:" from the value "MaxClients".
struct clients_track_bar {
  int low, high;           // range; high is also the upper-end label
  int step;                // line and page size
  std::vector<int> ticks;  // step, 2 step, ... below high
};

struct options_page {
  int blksize, timeout, tsize;  // "Accept ... option", the bits of Options
  int multicast;                // "Enable TFTP Multicast operation"
  int multicast_fields_enabled;
  std::string multicast_ip;     // edit
  std::string multicast_port;   // edit, digits
  std::string multicast_ttl;    // edit, digits
  std::string windowsize_max;   // edit, digits: most blocks granted per window
};

// ---- General page

// has_start_entry: whether the start-at-boot entry exists now, or -1 where
// the system offers no start at boot (the box is hidden).
void load_general_page(general_page* page, int has_start_entry);

// Stores TrayIcon, Iconic, Log, CreateLog, Percent and sets them. A trace
// level above 1 set outside the program stays while the box stays checked:
// the box says only whether there is a log. Start at boot is the caller's
// (page->start_at_boot, when shown). Returns 1 when every write succeeded.
int apply_general_page(const general_page* page);

// ---- Server page

// "MaxClients" of the settings key (default 100), clamped to the range the
// server can take; 0 is the default.
uint32_t read_max_clients();
clients_track_bar clients_track_bar_of(uint32_t max_clients);

// The controls for the current settings; the track bar position is Clients
// brought into the bar's range.
void load_server_page(server_page* page, uint32_t max_clients);

// Stores and sets Port, DataPort, RootDirectory, RootIPspecific, Timeout,
// Retransmit, Clients and WindowSize. Returns 1 when every write succeeded.
int apply_server_page(const server_page* page, uint32_t max_clients);

// A port typed into the Server page: 1 .. 65535, else fallback.
uint32_t port_from_text(const std::string& text, uint32_t fallback);

// The root directory as stored: "/" appended when missing. Empty when the
// text is empty or the result would not fit the setting (259 characters).
std::string root_directory_from_text(const std::string& text);

// The folder browser: the folder it starts in (the root without its last
// "/", the file system's root kept whole), and the status line for a
// chosen path ("..." and the last 45 characters of one longer than 48).
std::string folder_browser_start(const std::string& root);
std::string folder_browser_status(const std::string& path);

// The list-box row of a value shown in rows "1" .. "rows", or PREF_NO_ROW.
int row_of_value(uint32_t value, int rows);

// ---- Options page

void load_options_page(options_page* page);

// Stores and sets Options and Multicast, and when multicast is checked the
// address, port and TTL; stores WindowsizeMax; then loads the option group
// again so that every variable matches the store. Returns 1 when every
// write succeeded.
int apply_options_page(const options_page* page);

// A multicast group address as typed: four decimal numbers below 256 with
// dots between and nothing after, within 17 characters, in 224.0.0.0/4.
// Returns 1 and the address in network order, else 0.
int multicast_address_from_text(const std::string& text, uint32_t* address_out);

// A decimal number of digits only, below limit; else 0 and *out untouched.
int number_from_text(const std::string& text, uint32_t limit, uint32_t* out);
