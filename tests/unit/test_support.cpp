#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "core/settings.h"
#include "platform/path_names.h"
#include "platform/registry_store.h"
#include "platform/udp_socket.h"

std::string make_temp_dir() {
  static std::atomic<unsigned> serial{0};
  std::error_code error;
  std::filesystem::path top = std::filesystem::temp_directory_path(error);
  EXPECT_FALSE(error) << error.message();
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; attempt++) {
    std::filesystem::path dir =
        top / ("core-unit-" + std::to_string(stamp) + "-" + std::to_string(serial.fetch_add(1)));
    if (std::filesystem::create_directory(dir, error)) return dir.string() + path_separator();
  }
  ADD_FAILURE() << "no temporary directory";
  return top.string() + path_separator();
}

std::string use_fresh_store() {
  std::string path = point_store_at_fresh_hive();
  load_settings(SETTINGS_KEY);
  return path;
}

void set_setting(const char* name, const std::string& value) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel", name, value), 1);
}

void set_access_rule(const char* name, const std::string& value) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel\\Access", name, value), 1);
}

std::string native_path(std::string path) {
  for (char& c : path)
    if (c == '/') c = path_separator();
  return path;
}

uint32_t ipv4(const char* dotted) {
  unsigned a, b, c, d;
  char rest;
  if (sscanf(dotted, "%u.%u.%u.%u%c", &a, &b, &c, &d, &rest) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
    return 0;
  return network_address(a << 24 | b << 16 | c << 8 | d);
}

int loopback_udp_socket() {
  net_startup();
  return open_udp_socket(ipv4_address(network_address(0x7F000001u)), 0);
}
