// Loading the settings key: defaults, text numbers, raw values.
#include <gtest/gtest.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <fstream>

#include "core/registry.h"
#include "core/settings.h"
#include "platform/registry_store.h"
#include "tests/unit/test_support.h"

namespace {

TEST(Settings, EmptyStoreGivesTheDefaults) {
  use_fresh_store();
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
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
  EXPECT_EQ(MulticastIp, inet_addr("224.0.0.1"));
  EXPECT_EQ(Log, 1u);
  EXPECT_EQ(root_directory(), std::string(cwd) + "/");
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
  set_setting("Clients", "-1");
  set_setting("Retransmit", "x3");
  set_setting("MulticastPort", "70000");
  set_setting("RootDirectory", "/srv/tftp");
  load_settings(SETTINGS_KEY);
  EXPECT_EQ(Port, 12u) << "text after the number is ignored";
  EXPECT_EQ(Clients, 0xFFFFFFFFu) << "a minus gives the two's complement";
  EXPECT_EQ(Retransmit, 10u);
  EXPECT_EQ(MulticastPort, 4464) << "held in 16 bits";
  EXPECT_EQ(root_directory(), "/srv/tftp") << "a stored root is taken as written";
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
  EXPECT_EQ(MulticastIp, inet_addr("239.1.2.3"));
  set_setting("MulticastIp", "239.1.2.300");
  load_settings(SETTINGS_KEY);
  EXPECT_EQ(MulticastIp, inet_addr("239.1.2.3"));
  set_setting("MulticastIp", "224.0.0.1");
  load_settings(SETTINGS_KEY);
}

}  // namespace
