// A private settings store per test, and small helpers.
#pragma once

#include <cstdint>
#include <string>

// Points the machine store at a fresh empty hive (Linux: a new store file;
// Windows: the settings key deleted) and loads the defaults. Returns where
// the store is.
std::string use_fresh_store();

// The part of use_fresh_store that differs by platform, without the load.
std::string point_store_at_fresh_hive();

// Sets a string value in the settings key (or its Access subkey).
void set_setting(const char* name, const std::string& value);
void set_access_rule(const char* name, const std::string& value);

// A fresh temporary directory ending with the path separator.
std::string make_temp_dir();

// The address of dotted text "a.b.c.d" in network order (0 when malformed).
uint32_t ipv4(const char* dotted);

// The path with each "/" turned into the system's separator.
std::string native_path(std::string path);

// Text with each LF as the system's text files end their lines (CR LF on
// Windows): what a log file written in text mode holds.
std::string in_text_mode(const std::string& text);

// A UDP socket bound to 127.0.0.1 on a free port.
int loopback_udp_socket();
