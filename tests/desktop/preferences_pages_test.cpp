// The preference pages' Apply and load rules, against a private store.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/registry.h"
#include "core/settings.h"
#include "desktop/preferences_pages.h"
#include "platform/registry_store.h"
#include "tests/unit/test_support.h"

namespace {

const char* const KEY = "Software\\Orvanel\\Kestrel";

// The stored text of a setting, or "absent".
std::string stored(const char* name) {
  std::string text;
  return store_read_value(HIVE_MACHINE, KEY, name, &text) ? text : "absent";
}

class PreferencesTest : public ::testing::Test {
 protected:
  void SetUp() override { use_fresh_store(); }

  server_page loaded_server_page() {
    server_page page;
    load_server_page(&page, read_max_clients());
    return page;
  }
  options_page loaded_options_page() {
    options_page page;
    load_options_page(&page);
    return page;
  }
};

TEST_F(PreferencesTest, PortsOutOfRangeStoreNothingAndGiveTheDefault) {
  for (const char* text : {"0", "", "65536", "4294967365", "99999999999999999999", "-1", "12ab", " 70"}) {
    set_setting("Port", "1234");
    load_settings(SETTINGS_KEY);
    server_page page = loaded_server_page();
    page.port = text;
    page.data_port = text;
    EXPECT_EQ(apply_server_page(&page, 100), 1);
    EXPECT_EQ(Port, 69u) << text;
    EXPECT_EQ(stored("Port"), "absent") << text;
    EXPECT_EQ(DataPort, 0u) << text;
    EXPECT_EQ(stored("DataPort"), "absent") << text;
  }
  server_page page = loaded_server_page();
  page.port = "65535";
  page.data_port = "00100";
  apply_server_page(&page, 100);
  EXPECT_EQ(stored("Port"), "65535");
  EXPECT_EQ(stored("DataPort"), "100");
  load_settings(SETTINGS_KEY);
  page = loaded_server_page();
  EXPECT_EQ(page.port, "65535");
  EXPECT_EQ(page.data_port, "100");
  page.data_port = "";
  apply_server_page(&page, 100);
  EXPECT_EQ(stored("DataPort"), "absent") << "data sockets on ports of the system's choosing";
}

TEST_F(PreferencesTest, TimeoutAndRetransmitRowsAndValuesSetOutsideTheProgram) {
  set_setting("Timeout", "20");
  set_setting("Retransmit", "1");
  load_settings(SETTINGS_KEY);
  server_page page = loaded_server_page();
  EXPECT_EQ(page.timeout_row, 19);
  EXPECT_EQ(page.retransmit_row, 0);

  set_setting("Timeout", "30");
  set_setting("Retransmit", "12");
  load_settings(SETTINGS_KEY);
  page = loaded_server_page();
  EXPECT_EQ(page.timeout_row, PREF_NO_ROW);
  EXPECT_EQ(page.retransmit_row, PREF_NO_ROW);
  apply_server_page(&page, 100);
  EXPECT_EQ(Timeout, 30u);
  EXPECT_EQ(stored("Timeout"), "30") << "no row selected: left as it was";
  EXPECT_EQ(stored("Retransmit"), "12");

  page.timeout_row = 0;   // "1", the default
  page.retransmit_row = 4;  // "5"
  apply_server_page(&page, 100);
  EXPECT_EQ(Timeout, 1u);
  EXPECT_EQ(stored("Timeout"), "absent");
  EXPECT_EQ(Retransmit, 5u);
  EXPECT_EQ(stored("Retransmit"), "5");
  page.timeout_row = PREF_TIMEOUT_ROWS;  // no such row
  apply_server_page(&page, 100);
  EXPECT_EQ(Timeout, 1u);
}

TEST_F(PreferencesTest, ClientsTrackBarFollowsMaxClients) {
  clients_track_bar bar = clients_track_bar_of(30);
  EXPECT_EQ(bar.low, 1);
  EXPECT_EQ(bar.high, 30);
  EXPECT_EQ(bar.step, 5);
  EXPECT_EQ(bar.ticks, (std::vector<int>{5, 10, 15, 20, 25}));
  bar = clients_track_bar_of(50);
  EXPECT_EQ(bar.step, 5);
  EXPECT_EQ(bar.ticks.back(), 45) << "no tick on the upper end itself";
  bar = clients_track_bar_of(51);
  EXPECT_EQ(bar.step, 10);
  EXPECT_EQ(bar.ticks, (std::vector<int>{10, 20, 30, 40, 50}));

  EXPECT_EQ(read_max_clients(), 100u);
  bar = clients_track_bar_of(read_max_clients());
  EXPECT_EQ(bar.high, 100);
  EXPECT_EQ(bar.ticks.size(), 9u);
  set_setting("MaxClients", "0");
  EXPECT_EQ(read_max_clients(), 100u);
  set_setting("MaxClients", "70000");  // beyond what the server loads for Clients
  EXPECT_EQ(read_max_clients(), CLIENTS_MAX);
  set_setting("MaxClients", "many");
  EXPECT_EQ(read_max_clients(), 100u);

  // A Clients value above the bar shows at its upper end, and Apply stores that.
  set_setting("MaxClients", "30");
  set_setting("Clients", "45");
  load_settings(SETTINGS_KEY);
  server_page page = loaded_server_page();
  EXPECT_EQ(page.clients, 30);
  apply_server_page(&page, read_max_clients());
  EXPECT_EQ(Clients, 30u);
  EXPECT_EQ(stored("Clients"), "30");
  page.clients = 0;  // no position: nothing changes
  apply_server_page(&page, 30);
  EXPECT_EQ(stored("Clients"), "30");
  page.clients = 10;
  apply_server_page(&page, 30);
  EXPECT_EQ(stored("Clients"), "absent");
}

TEST_F(PreferencesTest, RootDirectoryIsStoredWithItsSlash) {
  std::string before = root_directory();
  server_page page = loaded_server_page();
  EXPECT_EQ(page.root_directory, before);
  page.root_directory = "/srv/tftp";
  ASSERT_EQ(apply_server_page(&page, 100), 1);
  EXPECT_EQ(stored("RootDirectory"), "/srv/tftp/");
  EXPECT_EQ(root_directory(), "/srv/tftp/");
  page.root_directory = "/";
  apply_server_page(&page, 100);
  EXPECT_EQ(root_directory(), "/");

  // Empty: the value goes, the running root stays.
  page.root_directory = "";
  apply_server_page(&page, 100);
  EXPECT_EQ(stored("RootDirectory"), "absent");
  EXPECT_EQ(root_directory(), "/");

  // Too long to be loaded again (259 characters with its slash): neither
  // the store nor the running root takes it.
  page.root_directory = "/srv/tftp/";
  apply_server_page(&page, 100);
  page.root_directory = "/" + std::string(SETTINGS_PATH_MAX - 1, 'a');
  EXPECT_EQ(apply_server_page(&page, 100), 0);
  EXPECT_EQ(stored("RootDirectory"), "/srv/tftp/");
  EXPECT_EQ(root_directory(), "/srv/tftp/");
  page.root_directory = "/" + std::string(SETTINGS_PATH_MAX - 2, 'a');
  EXPECT_EQ(apply_server_page(&page, 100), 1);
  EXPECT_EQ(root_directory().size(), static_cast<size_t>(SETTINGS_PATH_MAX));
  load_settings(SETTINGS_KEY);
  EXPECT_EQ(root_directory(), page.root_directory + "/") << "the stored root loads back whole";
}

TEST(FolderBrowser, StartsInTheRootAndShortensLongPaths) {
  EXPECT_EQ(folder_browser_start("/srv/tftp/"), "/srv/tftp");
  EXPECT_EQ(folder_browser_start("/"), "/");
  EXPECT_EQ(folder_browser_start(""), "");
  std::string path = "/" + std::string(47, 'a');
  EXPECT_EQ(folder_browser_status(path), path);
  path += "bcd";
  EXPECT_EQ(folder_browser_status(path), "..." + path.substr(6));  // 51 characters, the last 45
  EXPECT_EQ(folder_browser_status(path).size(), 48u);
}

TEST_F(PreferencesTest, SwitchesOfTheServerPage) {
  server_page page = loaded_server_page();
  EXPECT_EQ(page.root_ip_specific, 0);
  EXPECT_EQ(page.window_size, 0);
  page.root_ip_specific = 1;
  page.window_size = 1;
  apply_server_page(&page, 100);
  EXPECT_EQ(stored("RootIPspecific"), "1");
  EXPECT_EQ(stored("WindowSize"), "1");
  EXPECT_EQ(WindowSize, 1u);
  load_settings(SETTINGS_KEY);
  page = loaded_server_page();
  EXPECT_EQ(page.root_ip_specific, 1);
  EXPECT_EQ(page.window_size, 1);
}

TEST_F(PreferencesTest, GeneralPageLoadsAndAppliesItsSwitches) {
  general_page page;
  load_general_page(&page, -1);
  EXPECT_EQ(page.start_at_boot_shown, 0);
  EXPECT_EQ(page.tray_icon, 1);
  EXPECT_EQ(page.iconic, 0);
  EXPECT_EQ(page.write_log, 1);
  EXPECT_EQ(page.log_choice_enabled, 1);
  EXPECT_EQ(page.daily, 0);
  EXPECT_EQ(page.percent, 1);
  load_general_page(&page, 1);
  EXPECT_EQ(page.start_at_boot_shown, 1);
  EXPECT_EQ(page.start_at_boot, 1);

  page.tray_icon = 0;
  page.iconic = 1;
  page.write_log = 0;
  page.daily = 1;
  page.percent = 0;
  ASSERT_EQ(apply_general_page(&page), 1);
  EXPECT_EQ(stored("TrayIcon"), "0");
  EXPECT_EQ(stored("Iconic"), "1");
  EXPECT_EQ(stored("Log"), "0");
  EXPECT_EQ(stored("CreateLog"), "1");
  EXPECT_EQ(stored("Percent"), "0");
  EXPECT_EQ(TrayIcon, 0u);
  EXPECT_EQ(Log, 0u);
  EXPECT_EQ(CreateLog, 1u);
  load_general_page(&page, -1);
  EXPECT_EQ(page.log_choice_enabled, 0);
  EXPECT_EQ(page.daily, 1);

  page.write_log = 1;
  apply_general_page(&page);
  EXPECT_EQ(stored("Log"), "absent") << "level 1 is the default";
  EXPECT_EQ(Log, 1u);
}

TEST_F(PreferencesTest, AStoreThatCannotBeWrittenIsReportedNotHidden) {
  std::string blocker = make_temp_dir() + "file";
  FILE* f = fopen(blocker.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  setenv("ORVANEL_HKLM", (blocker + "/hklm.reg").c_str(), 1);  // a directory that is a file
  general_page page;
  load_general_page(&page, -1);
  EXPECT_EQ(apply_general_page(&page), 1) << "the defaults are what an empty store holds";
  page.iconic = 1;
  EXPECT_EQ(apply_general_page(&page), 0);
  options_page options;
  load_options_page(&options);
  options.multicast_ip = "239.9.9.9";
  EXPECT_EQ(apply_options_page(&options), 0);
  EXPECT_EQ(MulticastIp, inet_addr("224.0.0.1")) << "the variables follow the store, which kept nothing";
}

// The box tells whether there is a log, not its level: pressing OK on the
// sheet must not lower a trace level the administrator set.
TEST_F(PreferencesTest, ATraceLevelAboveOneStaysWhileTheLogBoxStaysChecked) {
  set_setting("Log", "3");
  load_settings(SETTINGS_KEY);
  general_page page;
  load_general_page(&page, -1);
  EXPECT_EQ(page.write_log, 1);
  apply_general_page(&page);
  EXPECT_EQ(Log, 3u);
  EXPECT_EQ(stored("Log"), "3");
  page.write_log = 0;
  apply_general_page(&page);
  EXPECT_EQ(stored("Log"), "0");
}

TEST_F(PreferencesTest, MulticastAddressIsStoredAsTypedOrResetToTheDefault) {
  options_page page = loaded_options_page();
  EXPECT_EQ(page.multicast_ip, "224.0.0.1");
  EXPECT_EQ(page.multicast_fields_enabled, 1);
  page.multicast_ip = "239.001.002.003";
  ASSERT_EQ(apply_options_page(&page), 1);
  EXPECT_EQ(stored("MulticastIp"), "239.001.002.003");
  EXPECT_EQ(MulticastIp, inet_addr("239.1.2.3"));
  EXPECT_EQ(loaded_options_page().multicast_ip, "239.1.2.3");

  for (const char* text : {"239.1.2", "300.1.2.3", "", "239.1.2.3x", "239.1.2.3.4", "10.0.0.1", "239..2.3",
                           "0239.0001.0002.0003"}) {
    page.multicast_ip = "239.1.2.3";
    apply_options_page(&page);
    ASSERT_EQ(MulticastIp, inet_addr("239.1.2.3"));
    page.multicast_ip = text;
    apply_options_page(&page);
    EXPECT_EQ(stored("MulticastIp"), "absent") << text;
    EXPECT_EQ(MulticastIp, inet_addr("224.0.0.1")) << text;
  }
  page.multicast_ip = "224.000.000.001";  // the default, however spelt, is no value
  apply_options_page(&page);
  EXPECT_EQ(stored("MulticastIp"), "absent");

  uint32_t address;
  EXPECT_EQ(multicast_address_from_text("239.255.255.255", &address), 1);
  EXPECT_EQ(multicast_address_from_text("240.0.0.1", &address), 0);
  EXPECT_EQ(multicast_address_from_text("223.255.255.255", &address), 0);
}

TEST_F(PreferencesTest, MulticastPortTtlAndWindowsizeMaxFallBackToTheirDefaults) {
  options_page page = loaded_options_page();
  EXPECT_EQ(page.multicast_port, "1758");
  EXPECT_EQ(page.multicast_ttl, "1");
  EXPECT_EQ(page.windowsize_max, "64");
  page.multicast_port = "65535";
  page.multicast_ttl = "255";
  page.windowsize_max = "0";  // never acknowledge the option
  apply_options_page(&page);
  EXPECT_EQ(MulticastPort, 65535);
  EXPECT_EQ(MulticastTTL, 255u);
  EXPECT_EQ(WindowsizeMax, 0u);
  EXPECT_EQ(stored("WindowsizeMax"), "0");

  page.multicast_port = "65536";
  page.multicast_ttl = "256";
  page.windowsize_max = "65536";
  apply_options_page(&page);
  EXPECT_EQ(MulticastPort, 1758);
  EXPECT_EQ(stored("MulticastPort"), "absent");
  EXPECT_EQ(MulticastTTL, 1u);
  EXPECT_EQ(stored("MulticastTTL"), "absent");
  EXPECT_EQ(WindowsizeMax, 64u);
  EXPECT_EQ(stored("WindowsizeMax"), "absent");

  page.multicast_port = "0";  // the server takes no group port 0 either
  page.multicast_ttl = "0";
  page.windowsize_max = "65535";
  apply_options_page(&page);
  EXPECT_EQ(MulticastPort, 1758);
  EXPECT_EQ(MulticastTTL, 1u);
  EXPECT_EQ(WindowsizeMax, 65535u);
  page.windowsize_max = "";
  apply_options_page(&page);
  EXPECT_EQ(WindowsizeMax, 64u);
}

TEST_F(PreferencesTest, ClearingMulticastStopsItAndLeavesItsFieldsAlone) {
  options_page page = loaded_options_page();
  page.multicast_ip = "239.1.1.1";
  page.multicast_port = "2000";
  apply_options_page(&page);
  page.multicast = 0;
  page.multicast_ip = "junk";
  page.multicast_port = "junk";
  page.blksize = 0;
  page.tsize = 0;
  ASSERT_EQ(apply_options_page(&page), 1);
  EXPECT_EQ(Multicast, 0u);
  EXPECT_EQ(stored("Multicast"), "0");
  EXPECT_EQ(Options, 2u);
  EXPECT_EQ(stored("Options"), "2");
  EXPECT_EQ(stored("MulticastIp"), "239.1.1.1");
  EXPECT_EQ(MulticastPort, 2000);
  page = loaded_options_page();
  EXPECT_EQ(page.multicast, 0);
  EXPECT_EQ(page.multicast_fields_enabled, 0);
  EXPECT_EQ(page.blksize, 0);
  EXPECT_EQ(page.timeout, 1);
  EXPECT_EQ(page.tsize, 0);
  EXPECT_EQ(page.multicast_ip, "239.1.1.1");
}

}  // namespace
