// The server's settings, each named after its value in the settings key.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

constexpr const char* SETTINGS_KEY = "Kestrel";
constexpr int SETTINGS_PATH_MAX = 259;
constexpr uint32_t LOG_LEVEL_MAX = 4;   // 4 already traces everything
constexpr uint32_t CLIENTS_MAX = 4096;  // transfers at once, and data ports in a range
constexpr uint32_t WINDOWSIZE_LIMIT = 65535;  // the largest window a request can name

// Group 1
extern std::atomic<uint32_t> TrayIcon, Iconic, Percent, Log, CreateLog;
// Group 2
extern std::atomic<uint32_t> Port, DataPort, Timeout, Retransmit, Clients, MMF, Upload, RootIPspecific,
    WindowSize, LargeFiles;
// Group 3
extern std::atomic<uint32_t> Options, Multicast, MulticastIp, MulticastTTL, WindowsizeMax;
extern std::atomic<uint16_t> MulticastPort, MulticastLast;
// Group 4
extern std::atomic<uint32_t> AccessControl;

// RootDirectory and Prefix are replaced whole by a reload; readers take a copy.
std::string root_directory();
std::string prefix_list();
// The Prefix list's entries, in order, empty ones left out.
std::vector<std::string> prefix_entries();
void set_root_directory(const std::string& text);
void set_prefix_list(const std::string& text);

// LogDirectory (empty: the built-in choice), loaded with the general
// settings, and the directory the log files go to as it decides it.
std::string log_directory_setting();
void set_log_directory_setting(const std::string& text);
std::string transfer_log_directory();

// Last port of the data port range that starts at first (DataPort, not 0):
// the Clients ports from first (none for Clients 0), never past 65535.
uint32_t data_port_range_end(uint32_t first);

// The loaders bring every number into its range (see the README's settings
// table): switches become 0 or 1, other numbers their bound or default.

void load_general_settings(const char* subkey);
void load_server_settings(const char* subkey);
void load_option_settings(const char* subkey);
void load_access_setting(const char* subkey);
void load_settings(const char* subkey);
