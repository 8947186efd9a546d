// The server's settings, each named after its value in the settings key.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/wire.h"
#include "platform/ip_address.h"

constexpr const char* SETTINGS_KEY = "Kestrel";
constexpr int SETTINGS_PATH_MAX = 259;
constexpr uint32_t LOG_LEVEL_MAX = 4;   // 4 already traces everything
constexpr uint32_t CLIENTS_MAX = 4096;  // transfers at once, and data ports in a range

// Group 1
extern std::atomic<uint32_t> TrayIcon, Iconic, Percent, Log, CreateLog;
// Group 2
extern std::atomic<uint32_t> Port, DataPort, Timeout, Retransmit, Clients, MMF, Upload, RootIPspecific,
    WindowSize, LargeFiles;
// Group 3
extern std::atomic<uint32_t> Options, Multicast, MulticastIp, MulticastTTL, WindowsizeMax, BlksizeMax;
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

// ListenAddresses: ";"-separated IPv4 and IPv6 addresses to listen on,
// empty for every address of both families. Loaded with the server
// settings; the server reads it when it binds.
constexpr size_t LISTEN_ADDRESSES_MAX = 1023;
std::string listen_addresses();
void set_listen_addresses(const std::string& text);
// The addresses of a ListenAddresses text, each once, blanks around an
// entry and empty entries left out. Returns 1, or 0 with the first entry
// that is no address in *bad_entry.
int parse_listen_addresses(const std::string& list, std::vector<ip_address>* addresses, std::string* bad_entry);

// The largest block size a client may negotiate: BlksizeMax, where 0 means
// the protocol's own limit and a cap below the protocol's least block size
// is taken as that.
uint32_t negotiated_blksize_cap();

// LogDirectory (empty: the built-in choice), loaded with the general
// settings, and the directory the log files go to as it decides it.
std::string log_directory_setting();
void set_log_directory_setting(const std::string& text);
std::string transfer_log_directory();

// Last port of the data port range that starts at first (DataPort, not 0):
// the Clients ports from first (none for Clients 0), never past 65535.
uint32_t data_port_range_end(uint32_t first);

// How a value of the settings key is read.
enum {
  SETTING_SWITCH = 0,     // a number: nonzero is 1
  SETTING_NUMBER = 1,     // a number brought into [low, high]
  SETTING_MASK = 2,       // a number of which only the bits of `high` count
  SETTING_TEXT = 3,       // text, not interpreted further here
  SETTING_DIRECTORY = 4,  // text naming a directory
  SETTING_PREFIXES = 5,   // ";"-separated absolute directories
  SETTING_ADDRESS = 6,    // dotted-quad IPv4 address
};

// One value of the settings key: how it is read, its default and its range.
// A number below low becomes `below`, one above high `above` (a bound or the
// default). text_max: the longest text the reader takes; a longer one is
// not read at all and the default applies.
struct setting_info {
  const char* name;
  int kind;
  uint32_t default_value;
  uint32_t low, high, below, above;
  size_t text_max;
};

// Every value any program of the suite reads from the settings key, loaded
// or not. The loaders take their ranges from here, and the check of the
// store (settings_check.h) and orvanel-reg's warning take the names.
extern const setting_info setting_table[];
extern const size_t setting_count;

// The entry of a value name (letter case ignored), or null.
const setting_info* find_setting(const char* name);

// The number a loader keeps of a number read for the entry: a switch's 0
// or 1, a number in its range, a mask's bits.
uint32_t setting_number(const setting_info* info, uint32_t read);

// The MulticastIp text as the loader reads it: four "%u" numbers below 256
// separated by dots. Returns 1 and the address in network order, or 0.
int parse_multicast_ip(const char* text, uint32_t* address);

// The subkey of the settings key that holds the access rules.
constexpr const char* SETTINGS_ACCESS_SUBKEY = "Access";

// The loaders bring every number into its range (setting_table): switches
// become 0 or 1, other numbers their bound or default.

void load_general_settings(const char* subkey);
void load_server_settings(const char* subkey);
void load_option_settings(const char* subkey);
void load_access_setting(const char* subkey);
void load_settings(const char* subkey);
