// Helpers shared by the settings store tests: a private hive directory per
// test and plain file access that bypasses the store.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/registry_store.h"

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Writes a file in place (same inode when it exists), as an editor might.
inline void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/orvanel-store-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    hklm_ = dir_ + "/machine/hklm.reg";
    hkcu_ = dir_ + "/user/hkcu.reg";
    setenv("ORVANEL_HKLM", hklm_.c_str(), 1);
    setenv("ORVANEL_HKCU", hkcu_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("ORVANEL_HKLM");
    unsetenv("ORVANEL_HKCU");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_, hklm_, hkcu_;
};

inline constexpr const char* KESTREL = "Software\\Orvanel\\Kestrel";
inline constexpr const char* ACCESS = "Software\\Orvanel\\Kestrel\\Access";
