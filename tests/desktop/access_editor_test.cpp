// The access-rule editor's rows: loading from the store, the edits, and the
// save, which the server's own rule check then reads.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/access_rules.h"
#include "core/session.h"
#include "core/settings.h"
#include "desktop/access_editor.h"
#include "platform/registry_store.h"
#include "tests/unit/test_support.h"

namespace {

const char* const ACCESS_KEY = "Software\\Orvanel\\Kestrel\\Access";

// The Access subkey as "name=text" lines in stored order.
std::vector<std::string> stored_rules() {
  std::vector<store_value> values;
  store_list_key(HIVE_MACHINE, ACCESS_KEY, &values, nullptr);
  std::vector<std::string> out;
  for (const store_value& v : values) out.push_back(v.name + "=" + v.data);
  return out;
}

std::vector<std::string> texts_of(const std::vector<access_row>& rows) {
  std::vector<std::string> out;
  for (const access_row& r : rows) out.push_back(r.directory + "|" + r.rights + "|" + r.first + "|" + r.last);
  return out;
}

class AccessEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_fresh_store();
    root = make_temp_dir();
    outside = make_temp_dir();
    ASSERT_EQ(mkdir((root + "cfg").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "boot").c_str(), 0755), 0);
  }
  std::vector<access_row> load() {
    std::vector<access_row> rows;
    load_access_rows(root.c_str(), &rows);
    return rows;
  }
  std::string root, outside;
};

TEST_F(AccessEditorTest, AFreshSystemShowsOneEmptyRowPerDirectoryAndStoresNothing) {
  ASSERT_EQ(close(creat((root + "file.bin").c_str(), 0644)), 0);
  std::vector<access_row> rows = load();
  EXPECT_EQ(texts_of(rows), (std::vector<std::string>{"%root%||*|", "boot||*|", "cfg||*|"}));
  EXPECT_EQ(access_directory_text(rows[0], root), root);
  EXPECT_EQ(access_directory_text(rows[1], root), "   boot");
  ASSERT_EQ(apply_access_editor(0, root.c_str(), rows), 1);
  EXPECT_TRUE(stored_rules().empty());
}

TEST_F(AccessEditorTest, OnlyDirectoriesBeneathTheRootAreListed) {
  ASSERT_EQ(mkdir((root + "Boot").c_str(), 0755), 0);   // the store cannot tell it from boot
  ASSERT_EQ(mkdir((outside + "away").c_str(), 0755), 0);
  ASSERT_EQ(symlink((outside + "away").c_str(), (root + "escape").c_str()), 0);
  ASSERT_EQ(symlink("cfg", (root + "alias").c_str()), 0);  // stays beneath: served, so listed
  ASSERT_EQ(symlink("../", (root + "up").c_str()), 0);
  ASSERT_EQ(mkdir((root + "two\nlines").c_str(), 0755), 0);
  std::vector<std::string> names;
  EXPECT_EQ(list_rule_directories(root.c_str(), &names), 4u);
  EXPECT_EQ(names, (std::vector<std::string>{"%root%", "Boot", "alias", "cfg"}));

  EXPECT_EQ(list_rule_directories((root + "missing/").c_str(), &names), 1u);
  EXPECT_EQ(names, std::vector<std::string>{"%root%"});
}

TEST_F(AccessEditorTest, RowsShowWhatTheServerApplies) {
  set_access_rule("%root%\\0", "rw,10.0.0.300");   // covers nobody: not shown
  set_access_rule("%root%\\1", "wr");
  set_access_rule("%root%\\2", "ro,10.0.0.1-10.0.0.9");  // o without w means nothing
  set_access_rule("%root%\\3", ",192.168.1.7");
  set_access_rule("%root%\\4", "rw,0.0.0.0-10.0.0.1");
  set_access_rule("%root%\\5", "rw,10.0.0.1-");
  set_access_rule("%root%\\6", "wox,10.0.0.5");
  set_access_rule("%root%\\7", "r,2001:db8::1-2001:db8::ff");
  set_access_rule("%root%\\8", "rw,2001:db8::1-10.0.0.9");  // across families: covers nobody
  // 85 characters: longer than an IPv4 rule may be, read with IPv6 addresses.
  set_access_rule("%root%\\9", "w,2001:0db8:0000:0000:0000:0000:0000:0001-2001:0db8:0000:0000:0000:0000:0000:00ff");
  set_access_rule("%root%\\11", "r");                    // after the gap at 10: never read
  set_access_rule("boot\\1", "rw");                      // no rule 0: none in force
  set_access_rule("cfg\\0", std::string(64, 'r'));      // too long for the server
  set_access_rule("gone\\0", "rw");                      // no such directory
  std::vector<access_row> rows = load();
  EXPECT_EQ(texts_of(rows), (std::vector<std::string>{"%root%|rw|*|", "%root%|r|10.0.0.1|10.0.0.9",
                                                        "%root%||192.168.1.7|", "%root%|wo|10.0.0.5|",
                                                        "%root%|r|2001:db8::1|2001:db8::ff",
                                                        "%root%|w|2001:0db8:0000:0000:0000:0000:0000:0001|"
                                                        "2001:0db8:0000:0000:0000:0000:0000:00ff",
                                                        "boot||*|", "cfg||*|"}));
  EXPECT_EQ(access_rights_image(rows[0].rights), ACCESS_IMAGE_READ_WRITE);
  EXPECT_EQ(access_rights_image(rows[1].rights), ACCESS_IMAGE_READ);
  EXPECT_EQ(access_rights_image(rows[2].rights), ACCESS_IMAGE_NONE);
  EXPECT_EQ(access_rights_image(rows[3].rights), ACCESS_IMAGE_WRITE);

  // OK rewrites the set as shown: what was not shown is gone.
  ASSERT_EQ(save_access_rows(root.c_str(), rows), 1);
  EXPECT_EQ(stored_rules(), (std::vector<std::string>{"%root%\\0=rw", "%root%\\1=r,10.0.0.1-10.0.0.9",
                                                      "%root%\\2=,192.168.1.7", "%root%\\3=wo,10.0.0.5",
                                                      "%root%\\4=r,2001:db8::1-2001:db8::ff",
                                                      "%root%\\5=w,2001:0db8:0000:0000:0000:0000:0000:0001-"
                                                      "2001:0db8:0000:0000:0000:0000:0000:00ff"}));

}

TEST_F(AccessEditorTest, RulesAreNumberedPerDirectoryFromZero) {
  std::vector<access_row> rows = load();
  rows[0].rights = "rw";
  ASSERT_EQ(new_access_row(&rows, 1), 2);  // a second boot row
  rows[1].rights = "r";
  ASSERT_TRUE(set_access_first_address(&rows[1], "10.0.0.1"));
  ASSERT_TRUE(set_access_last_address(&rows[1], "10.0.0.9"));
  rows[2].rights = "w";
  ASSERT_TRUE(set_access_first_address(&rows[2], "10.0.0.1"));
  rows[3].rights = "rwo";
  rows.push_back(access_row{"boot", "rw", "*", ""});  // a boot row after cfg's continues boot's count
  rows.push_back(access_row{"cfg", "", "*", ""});      // empty: not stored
  set_access_rule("boot\\7", "stale");
  ASSERT_EQ(save_access_rows(root.c_str(), rows), 1);
  EXPECT_EQ(stored_rules(), (std::vector<std::string>{"%root%\\0=rw", "boot\\0=r,10.0.0.1-10.0.0.9",
                                                      "boot\\1=w,10.0.0.1", "cfg\\0=rwo", "boot\\2=rw"}));
  // And the server reads them so.
  set_setting("AccessControl", "1");
  load_settings(SETTINGS_KEY);
  int overwrite;
  EXPECT_EQ(check_access("boot/a", ipv4_address(inet_addr("10.0.0.5")), OPCODE_RRQ, &overwrite), 1);
  EXPECT_EQ(check_access("boot/a", ipv4_address(inet_addr("10.0.0.10")), OPCODE_RRQ, &overwrite), 0);
  EXPECT_EQ(check_access("boot/a", ipv4_address(inet_addr("10.0.0.10")), OPCODE_WRQ, &overwrite), 1);
  EXPECT_EQ(check_access("cfg/a", ipv4_address(inet_addr("1.2.3.4")), OPCODE_WRQ, &overwrite), 1);
  EXPECT_EQ(overwrite, 1);
}

TEST_F(AccessEditorTest, RulesOfDirectoriesGoneAtOkAreDropped) {
  set_access_rule("cfg\\0", "rw");
  std::vector<access_row> rows = load();
  ASSERT_EQ(rmdir((root + "cfg").c_str()), 0);
  ASSERT_EQ(symlink((outside).c_str(), (root + "cfg").c_str()), 0);  // now leads out of the root
  rows[0].rights = "r";
  ASSERT_EQ(save_access_rows(root.c_str(), rows), 1);
  EXPECT_EQ(stored_rules(), std::vector<std::string>{"%root%\\0=r"});
  rows.push_back(access_row{"../x", "rw", "*", ""});
  ASSERT_EQ(save_access_rows(root.c_str(), rows), 1);
  EXPECT_EQ(stored_rules(), std::vector<std::string>{"%root%\\0=r"});
}

TEST_F(AccessEditorTest, TheSwitchAndTheRulesAreStoredTogether) {
  std::vector<access_row> rows = load();
  rows[0].rights = "rw";
  ASSERT_EQ(apply_access_editor(1, root.c_str(), rows), 1);
  EXPECT_EQ(AccessControl, 1u);
  std::string text;
  ASSERT_EQ(store_read_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel", "AccessControl", &text), 1);
  EXPECT_EQ(text, "1");
  EXPECT_EQ(stored_rules(), std::vector<std::string>{"%root%\\0=rw"});
  rows[0].rights = "";
  ASSERT_EQ(apply_access_editor(0, root.c_str(), rows), 1);
  EXPECT_EQ(AccessControl, 0u);
  EXPECT_EQ(store_read_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel", "AccessControl", &text), 0);
  EXPECT_TRUE(stored_rules().empty());
}

TEST(AccessRows, OverwriteNeverWithoutWrite) {
  EXPECT_EQ(access_rights_from_boxes(1, 1, 1), "rwo");
  EXPECT_EQ(access_rights_from_boxes(1, 0, 1), "r");
  EXPECT_EQ(access_rights_from_boxes(0, 1, 1), "wo");
  EXPECT_EQ(access_rights_from_boxes(0, 0, 0), "");
  EXPECT_EQ(normalize_access_rights("owr"), "rwo");
  EXPECT_EQ(normalize_access_rights("o"), "");
}

TEST(AccessRows, TheLastRowOfADirectoryCannotBeRemoved) {
  std::vector<access_row> rows = {{"%root%", "", "*", ""}, {"boot", "r", "*", ""}, {"cfg", "", "*", ""}};
  for (int r = -1; r <= 3; r++) EXPECT_EQ(access_row_removable(rows, r), 0) << r;
  EXPECT_EQ(remove_access_row(&rows, 0), 0);
  EXPECT_EQ(new_access_row(&rows, 3), -1);
  ASSERT_EQ(new_access_row(&rows, 1), 2);
  EXPECT_EQ(texts_of(rows)[2], "boot||*|");
  EXPECT_EQ(access_row_removable(rows, 1), 1);
  EXPECT_EQ(access_row_removable(rows, 2), 1);
  EXPECT_EQ(access_row_removable(rows, 0), 0) << "the root row is next to a boot row only";
  EXPECT_EQ(remove_access_row(&rows, 1), 1);
  EXPECT_EQ(texts_of(rows), (std::vector<std::string>{"%root%||*|", "boot||*|", "cfg||*|"}));
  EXPECT_EQ(remove_access_row(&rows, 1), 0);
}

TEST(AccessRows, AddressEditsTakeOnlyValidAddresses) {
  access_row row{"boot", "r", "*", ""};
  EXPECT_EQ(set_access_first_address(&row, "10.0.0"), 0);
  EXPECT_EQ(set_access_first_address(&row, "10.0.0.256"), 0);
  EXPECT_EQ(set_access_first_address(&row, "0.0.0.0"), 0) << "the server would take it for no address";
  EXPECT_EQ(row.first, "*");
  EXPECT_EQ(set_access_first_address(&row, "10.0.0.1"), 1);
  EXPECT_EQ(access_rule_text(row), "r,10.0.0.1");
  EXPECT_EQ(set_access_last_address(&row, "10.0.0.9"), 1);
  EXPECT_EQ(access_rule_text(row), "r,10.0.0.1-10.0.0.9");
  EXPECT_EQ(set_access_last_address(&row, "10.0.0.9x"), 0);
  EXPECT_EQ(row.last, "10.0.0.9");
  EXPECT_EQ(set_access_first_address(&row, ""), 1);
  EXPECT_EQ(row.first, "") << "a last address waits for its first";
  EXPECT_EQ(set_access_last_address(&row, ""), 1);
  EXPECT_EQ(row.first, "*");
  EXPECT_EQ(access_rule_text(row), "r");

  // IPv6 ends; a range's two ends are of one family.
  EXPECT_EQ(set_access_first_address(&row, "2001:db8::1"), 1);
  EXPECT_EQ(set_access_last_address(&row, "10.0.0.9"), 0);
  EXPECT_EQ(set_access_last_address(&row, "2001:db8::g"), 0);
  EXPECT_EQ(set_access_first_address(&row, "::"), 0) << "the any-address is no address";
  EXPECT_EQ(set_access_last_address(&row, "2001:db8::ff"), 1);
  EXPECT_EQ(access_rule_text(row), "r,2001:db8::1-2001:db8::ff");
  EXPECT_EQ(set_access_first_address(&row, "10.0.0.1"), 0);
  EXPECT_EQ(set_access_last_address(&row, ""), 1);
  EXPECT_EQ(set_access_first_address(&row, ""), 1);

  // A last address typed first: the row has a range without a beginning
  // until the first comes, and such a row is not stored.
  EXPECT_EQ(set_access_last_address(&row, "10.0.0.9"), 1);
  EXPECT_EQ(row.first, "");
  std::string root = make_temp_dir();
  use_fresh_store();
  ASSERT_EQ(save_access_rows(root.c_str(), {{"%root%", "r", "", "10.0.0.9"}}), 1);
  EXPECT_TRUE(stored_rules().empty());
}

}  // namespace
