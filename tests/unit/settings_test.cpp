// Loading the settings key: defaults, text numbers, raw values.
#include <gtest/gtest.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "core/registry.h"
#include "core/settings.h"
#include "platform/registry_store.h"
#include "platform/path_names.h"
#include "platform/udp_socket.h"
#include "tests/unit/test_support.h"

namespace {

TEST(Settings, EmptyStoreGivesTheDefaults) {
  use_fresh_store();
  std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(Port, 69u);
  EXPECT_EQ(Timeout, 1u);
  EXPECT_EQ(Retransmit, 10u);
  EXPECT_EQ(Clients, 10u);
  EXPECT_EQ(MMF, 1u);
  EXPECT_EQ(Upload, 1u);
  EXPECT_EQ(LargeFiles, 1u);
  EXPECT_EQ(Options, 7u);
  EXPECT_EQ(Multicast, 1u);
  EXPECT_EQ(MulticastPort, 1758);
  EXPECT_EQ(MulticastLast, 65535);
  EXPECT_EQ(MulticastIp, ipv4("224.0.0.1"));
  EXPECT_EQ(Log, 1u);
  char default_root[512];
  ASSERT_GT(default_root_directory(default_root, sizeof default_root), 0u);
  EXPECT_EQ(root_directory(), default_root) << "an unset root is a directory of its own";
  EXPECT_NE(root_directory(), cwd + path_separator()) << "never the program's directory";
  EXPECT_EQ(prefix_list(), "");
}

TEST(Settings, NumbersAreTextAndDefaultsAreStoredAsAbsence) {
  use_fresh_store();
  ASSERT_EQ(reg_write_number("Kestrel", "Timeout", 5, 1), 1);
  std::string text;
  ASSERT_EQ(store_read_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel", "Timeout", &text), 1);
  EXPECT_EQ(text, "5");
  reg_write_number("Kestrel", "Timeout", 1, 1);
  EXPECT_EQ(store_read_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel", "Timeout", &text), 0);
  EXPECT_EQ(reg_read_number("Kestrel", "Timeout", 1), 1u);

  set_setting("Port", "12abc");
  set_setting("Retransmit", "x3");
  set_setting("RootDirectory", "/srv/tftp");
  load_settings(SETTINGS_KEY);
  EXPECT_EQ(Port, 12u) << "text after the number is ignored";
  EXPECT_EQ(Retransmit, 10u);
  EXPECT_EQ(root_directory(), "/srv/tftp") << "a stored root is taken as written";
}

// Reads a number as the store holds it: digits beyond 32 bits saturate, and
// a minus sign gives a number of 2^31 or more, never a small one.
TEST(Settings, NumbersBeyondThirtyTwoBitsAndNegativeOnesReadAsLarge) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"-1", 0xFFFFFFFFu},          {" -2147483648", 0x80000000u}, {"-99999999999", 0x80000000u},
      {"99999999999", 0xFFFFFFFFu}, {"4294967297", 0xFFFFFFFFu},  // not 1
      {"+4294967295x", 0xFFFFFFFFu}, {"-0", 0u},
  };
  uint32_t value = 0;
  for (const auto& [text, expected] : cases) {
    ASSERT_EQ(scan_unsigned(text, &value), 1) << text;
    EXPECT_EQ(value, expected) << text;
  }
  EXPECT_EQ(scan_unsigned("-", &value), 0);
}

// Each setting with the values that were stored and what loading makes of them.
struct range_case {
  const char* name;
  std::vector<std::pair<const char*, uint32_t>> values;
};

uint32_t loaded(const char* name) {
  const std::pair<const char*, uint32_t> table[] = {
      {"TrayIcon", TrayIcon},     {"Iconic", Iconic},
      {"Percent", Percent},       {"Log", Log},
      {"CreateLog", CreateLog},   {"Port", Port},
      {"DataPort", DataPort},     {"Timeout", Timeout},
      {"Retransmit", Retransmit}, {"Clients", Clients},
      {"MMF", MMF},               {"Upload", Upload},
      {"RootIPspecific", RootIPspecific}, {"WindowSize", WindowSize},
      {"LargeFiles", LargeFiles}, {"Options", Options},
      {"Multicast", Multicast},   {"MulticastPort", MulticastPort.load()},
      {"MulticastLast", MulticastLast.load()}, {"MulticastTTL", MulticastTTL},
      {"AccessControl", AccessControl},
  };
  for (const auto& entry : table)
    if (strcmp(entry.first, name) == 0) return entry.second;
  ADD_FAILURE() << "no setting " << name;
  return 0;
}

TEST(Settings, EveryNumberIsBroughtIntoItsRangeAtLoad) {
  const range_case cases[] = {
      {"Log", {{"0", 0}, {"4", 4}, {"5", 4}, {"-1", 4}, {"99999999999", 4}}},
      {"TrayIcon", {{"0", 0}, {"1", 1}, {"2", 1}, {"-1", 1}}},
      {"Iconic", {{"7", 1}, {"0", 0}}},
      {"Percent", {{"99999999999", 1}, {"0", 0}}},
      {"CreateLog", {{"2", 1}}},
      {"Upload", {{"-1", 1}, {"0", 0}}},
      {"RootIPspecific", {{"5", 1}}},
      {"WindowSize", {{"8", 1}}},
      {"LargeFiles", {{"3", 1}, {"0", 0}}},
      {"Multicast", {{"2", 1}, {"0", 0}}},
      {"AccessControl", {{"9", 1}, {"0", 0}}},
      {"Port", {{"0", 69}, {"1", 1}, {"65535", 65535}, {"65536", 69}, {"-1", 69}, {"99999999999", 69}}},
      {"DataPort", {{"0", 0}, {"65535", 65535}, {"65536", 0}, {"-1", 0}, {"99999999999", 0}}},
      {"Timeout", {{"0", 1}, {"1", 1}, {"255", 255}, {"256", 255}, {"-1", 255}, {"99999999999", 255}}},
      {"Retransmit", {{"0", 0}, {"255", 255}, {"256", 255}, {"-1", 255}}},
      {"Clients", {{"0", 0}, {"4096", 4096}, {"4097", 4096}, {"-1", 4096}, {"-5", 4096},
                   {"99999999999", 4096}}},
      {"MMF", {{"0", 0}, {"3", 3}, {"4", 1}, {"-1", 1}}},
      {"Options", {{"0", 0}, {"7", 7}, {"15", 7}, {"9", 1}, {"-1", 7}}},
      {"MulticastPort", {{"0", 1758}, {"1", 1}, {"65535", 65535}, {"65536", 1758}, {"70000", 1758},
                         {"-1", 1758}}},
      {"MulticastLast", {{"0", 65535}, {"1", 1}, {"65536", 65535}, {"99999999999", 65535}}},
      {"MulticastTTL", {{"0", 1}, {"255", 255}, {"256", 1}, {"-1", 1}}},
  };
  for (const range_case& c : cases) {
    for (const auto& [text, expected] : c.values) {
      use_fresh_store();
      set_setting(c.name, text);
      load_settings(SETTINGS_KEY);
      EXPECT_EQ(loaded(c.name), expected) << c.name << " = " << text;
    }
  }
}

// The data ports are DataPort and the Clients - 1 ports after it, never
// past 65535.
TEST(Settings, DataPortRangeDoesNotWrap) {
  struct {
    const char* data_port;
    const char* clients;
    uint32_t end;
  } cases[] = {
      {"60000", "-1", 64095u},
      {"60000", "0", 59999u},  // no data ports: an empty range
      {"65530", "10", 65535u},
      {"65535", "4096", 65535u},
  };
  use_fresh_store();
  for (const auto& c : cases) {
    set_setting("DataPort", c.data_port);
    set_setting("Clients", c.clients);
    load_settings(SETTINGS_KEY);
    EXPECT_EQ(data_port_range_end(DataPort), c.end) << c.data_port << " + " << c.clients;
  }
}

TEST(Settings, OtherValueTypesReadAsRawBytes) {
  std::string path = use_fresh_store();
  std::ofstream(path) << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]\r\n"
                         "\"Port\"=dword:000007d0\r\n\"Timeout\"=dword:00000045\r\n";
  load_settings(SETTINGS_KEY);
  EXPECT_EQ(Port, 69u) << "a dword 2000 is no decimal text";
  EXPECT_EQ(Timeout, 1u);
}

TEST(Settings, MulticastAddressKeepsTheLastValidText) {
  use_fresh_store();
  set_setting("MulticastIp", "239.1.2.3");
  load_settings(SETTINGS_KEY);
  EXPECT_EQ(MulticastIp, ipv4("239.1.2.3"));
  set_setting("MulticastIp", "239.1.2.300");
  load_settings(SETTINGS_KEY);
  EXPECT_EQ(MulticastIp, ipv4("239.1.2.3"));
  set_setting("MulticastIp", "224.0.0.1");
  load_settings(SETTINGS_KEY);
}

}  // namespace
