// The server's settings, each named after its value in the settings key.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

constexpr const char* SETTINGS_KEY = "Kestrel";
constexpr int SETTINGS_PATH_MAX = 259;

// Group 1
extern std::atomic<uint32_t> TrayIcon, Iconic, Percent, Log, CreateLog;
// Group 2
extern std::atomic<uint32_t> Port, DataPort, Timeout, Retransmit, Clients, MMF, Upload, RootIPspecific,
    WindowSize, LargeFiles;
// Group 3
extern std::atomic<uint32_t> Options, Multicast, MulticastIp, MulticastTTL;
extern std::atomic<uint16_t> MulticastPort, MulticastLast;
// Group 4
extern std::atomic<uint32_t> AccessControl;

// RootDirectory and Prefix are replaced whole by a reload; readers take a copy.
std::string root_directory();
std::string prefix_list();
void set_root_directory(const std::string& text);
void set_prefix_list(const std::string& text);

void load_general_settings(const char* subkey);
void load_server_settings(const char* subkey);
void load_option_settings(const char* subkey);
void load_access_setting(const char* subkey);
void load_settings(const char* subkey);
