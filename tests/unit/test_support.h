// A private settings store per test, and small helpers.
#pragma once

#include <string>

// Points the machine store at a fresh empty file and loads the defaults.
// Returns the store's path.
std::string use_fresh_store();

// Sets a string value in the settings key (or its Access subkey).
void set_setting(const char* name, const std::string& value);
void set_access_rule(const char* name, const std::string& value);

// A fresh temporary directory ending with "/".
std::string make_temp_dir();

// A UDP socket bound to 127.0.0.1 on a free port.
int loopback_udp_socket();
