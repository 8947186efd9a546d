#include "tests/unit/test_support.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <unistd.h>

#include "core/settings.h"
#include "platform/registry_store.h"

std::string make_temp_dir() {
  char pattern[] = "/tmp/core-unit-XXXXXX";
  const char* dir = mkdtemp(pattern);
  EXPECT_NE(dir, nullptr);
  return std::string(dir ? dir : "/tmp") + "/";
}

std::string use_fresh_store() {
  std::string path = make_temp_dir() + "hklm.reg";
  setenv("ORVANEL_HKLM", path.c_str(), 1);
  load_settings(SETTINGS_KEY);
  return path;
}

void set_setting(const char* name, const std::string& value) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel", name, value), 1);
}

void set_access_rule(const char* name, const std::string& value) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel\\Access", name, value), 1);
}

int loopback_udp_socket() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local);
  return s;
}
