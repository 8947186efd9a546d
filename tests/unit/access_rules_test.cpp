// Path resolution and access rules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <string>

#include "core/access_rules.h"
#include "core/registry.h"
#include "core/session.h"
#include "core/settings.h"
#include "platform/registry_store.h"
#include "platform/udp_socket.h"
#include "tests/unit/test_support.h"

namespace {

ip_address ip(const char* text) {
  ip_address address{};
  EXPECT_EQ(parse_ip_address(text, &address), 1) << text;
  return address;
}

class PathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_fresh_store();
    root = make_temp_dir();
    set_setting("RootDirectory", root);
    load_settings(SETTINGS_KEY);
  }
  void reload() { load_settings(SETTINGS_KEY); }

  // Resolves name for client; returns the refusal or 0, with path and overwrite.
  int resolve(const std::string& name, const char* client = "10.0.0.1", int opcode = OPCODE_RRQ) {
    std::string buffer = name;
    path[0] = 0;
    overwrite = -1;
    base_length = 0;
    return resolve_path(buffer.data(), ip(client), opcode, path, &overwrite, &base_length);
  }

  std::string root;
  char path[SESSION_PATH_SIZE];
  int overwrite;
  size_t base_length;
};

TEST_F(PathTest, SlashesAndBackslashesNameTheSameFileUnderTheRoot) {
  for (const char* name : {"/boot/pxelinux.0", "\\boot\\pxelinux.0", "boot/pxelinux.0"}) {
    ASSERT_EQ(resolve(name), 0) << name;
    EXPECT_EQ(std::string(path), root + native_path("boot/pxelinux.0")) << name;
    EXPECT_EQ(overwrite, 1);
  }
}

TEST_F(PathTest, ColonsAndDotDotAreInvalid) {
  for (const char* name : {"../x", "a..b", "c:x", "/x/../../etc/passwd", "..", "\\..\\x"})
    EXPECT_EQ(resolve(name), PATH_INVALID) << name;
}

TEST_F(PathTest, LengthLimitCountsRootPlusName) {
  size_t room = 258 - root.size();
  EXPECT_EQ(resolve(std::string(room, 'a')), 0);
  EXPECT_EQ(strlen(path), 258u);
  EXPECT_EQ(resolve(std::string(room + 1, 'a')), PATH_TOO_LONG);
  EXPECT_EQ(resolve("/" + std::string(room, 'a')), 0) << "the leading slash is not counted";
}

TEST_F(PathTest, PrefixEntriesServeAbsoluteDirectoriesOnlyBelowThem) {
  set_setting("Prefix", "/srv/images;/opt/pub/");
  set_setting("AccessControl", "1");  // prefixed paths bypass the rules
  reload();
  ASSERT_EQ(resolve("/srv/images/a.bin"), 0);
  EXPECT_STREQ(path, "/srv/images/a.bin");
  EXPECT_EQ(overwrite, 1);
  EXPECT_EQ(base_length, strlen("/srv/images")) << "opened beneath the Prefix entry, not the root";
  ASSERT_EQ(resolve("\\opt\\pub\\x\\y"), 0);
  EXPECT_STREQ(path, "/opt/pub/x/y");
  EXPECT_EQ(base_length, strlen("/opt/pub"));

  // A neighbour whose name merely begins with the entry is not below it.
  set_setting("AccessControl", "0");
  reload();
  ASSERT_EQ(resolve("/srv/images2/secret"), 0);
  EXPECT_EQ(std::string(path), root + "srv/images2/secret");
  EXPECT_EQ(base_length, root.size()) << "opened beneath the root";
  ASSERT_EQ(resolve("/srv/images"), 0);
  EXPECT_EQ(std::string(path), root + "srv/images");
  // Case matters on this file system.
  ASSERT_EQ(resolve("/SRV/images/a.bin"), 0);
  EXPECT_EQ(std::string(path), root + "SRV/images/a.bin");

  EXPECT_EQ(resolve("/srv/images/" + std::string(246, 'x')), 0);
  EXPECT_EQ(resolve("/srv/images/" + std::string(247, 'x')), PATH_TOO_LONG);
}

TEST_F(PathTest, PerClientDirectoryHasItsOwnRules) {
  ASSERT_TRUE(std::filesystem::create_directory(root + "192.168.1.20"));
  set_setting("RootIPspecific", "1");
  set_setting("AccessControl", "1");
  set_access_rule("192.168.1.20\\0", "r");
  set_access_rule("%root%\\0", "rw,10.0.0.1");
  reload();
  ASSERT_EQ(resolve("a.bin", "192.168.1.20"), 0);
  EXPECT_EQ(std::string(path), root + native_path("192.168.1.20/a.bin"));
  EXPECT_EQ(resolve("a.bin", "192.168.1.20", OPCODE_WRQ), PATH_DENIED);
  ASSERT_EQ(resolve("a.bin", "10.0.0.9"), 0);
  EXPECT_EQ(std::string(path), root + "a.bin");
  EXPECT_EQ(resolve("a.bin", "10.0.0.0"), PATH_DENIED) << "below the first address";

  // An IPv6 client's directory spells ":" as "-".
  ASSERT_TRUE(std::filesystem::create_directory(root + "2001-db8--7"));
  set_access_rule("2001-db8--7\\0", "rw");
  reload();
  ASSERT_EQ(resolve("a.bin", "2001:db8::7", OPCODE_WRQ), 0);
  EXPECT_EQ(std::string(path), root + native_path("2001-db8--7/a.bin"));
  EXPECT_EQ(resolve("a.bin", "2001:db8::8"), PATH_DENIED) << "no directory: the root's rules";
}

class RulesTest : public PathTest {
 protected:
  void SetUp() override {
    PathTest::SetUp();
    set_setting("AccessControl", "1");
    reload();
  }
  // check_access on the root directory's rules: 1 allowed, 0 refused.
  int allowed(const char* client, int opcode, const char* access_path = "a.bin") {
    overwrite = -1;
    // check_access sees names spelt with the system's separator.
    return check_access(native_path(access_path).c_str(), ip(client), opcode, &overwrite);
  }
};

TEST_F(RulesTest, NoRuleRefusesEverything) {
  EXPECT_EQ(allowed("10.0.0.1", OPCODE_RRQ), 0);
  EXPECT_EQ(overwrite, 1);
  set_setting("AccessControl", "0");
  reload();
  EXPECT_EQ(allowed("10.0.0.1", OPCODE_WRQ), 1);
}

TEST_F(RulesTest, RightsDecideReadWriteAndOverwrite) {
  set_access_rule("%root%\\0", "rw");
  EXPECT_EQ(allowed("1.2.3.4", OPCODE_RRQ), 1);
  EXPECT_EQ(allowed("1.2.3.4", OPCODE_WRQ), 1);
  EXPECT_EQ(overwrite, 0);
  set_access_rule("%ROOT%\\0", "rwo");  // value names ignore case
  EXPECT_EQ(allowed("1.2.3.4", OPCODE_WRQ), 1);
  EXPECT_EQ(overwrite, 1);
  set_access_rule("%root%\\0", "w");
  EXPECT_EQ(allowed("1.2.3.4", OPCODE_RRQ), 0);
}

TEST_F(RulesTest, AnAddressWithoutEndCoversEverythingAboveIt) {
  set_access_rule("%root%\\0", "r,10.0.0.5");
  EXPECT_EQ(allowed("10.0.0.4", OPCODE_RRQ), 0);
  EXPECT_EQ(allowed("10.0.0.5", OPCODE_RRQ), 1);
  EXPECT_EQ(allowed("10.1.2.3", OPCODE_RRQ), 1);
}

// IPv6 ranges compare all 128 bits, and cover IPv6 clients only; an IPv4
// client is never matched through the IPv4-mapped form.
TEST_F(RulesTest, IPv6RangesCoverTheirOwnFamilyOnly) {
  set_access_rule("%root%\\0", "r, 2001:db8::1:0 - 2001:db8::1:ffff ");
  set_access_rule("%root%\\1", "w,::ffff:10.0.0.0-::ffff:10.255.255.255");
  set_access_rule("%root%\\2", "o,fe80::");
  set_access_rule("%root%\\3", "rwo,2001:db8:ffff:ffff:ffff:ffff:ffff:fff0-2001:db8:ffff:ffff:ffff:ffff:ffff:ffff");
  EXPECT_EQ(allowed("2001:db8::1:5", OPCODE_RRQ), 1);
  EXPECT_EQ(allowed("2001:db8::2:0", OPCODE_RRQ), 0);
  EXPECT_EQ(allowed("2001:db8::0:ffff", OPCODE_RRQ), 0);
  EXPECT_EQ(allowed("10.0.0.1", OPCODE_WRQ), 0) << "the mapped range is no IPv4 range";
  EXPECT_EQ(allowed("fe80::1", OPCODE_RRQ), 0) << "its rule has no r";
  EXPECT_EQ(allowed("fe80::1", OPCODE_WRQ), 0);
  EXPECT_EQ(allowed("2001:db8:ffff:ffff:ffff:ffff:ffff:fff3", OPCODE_WRQ), 1) << "a 95-character rule is read";
  set_access_rule("%root%\\0", "r,::");  // the any-address is no address
  EXPECT_EQ(allowed("::1", OPCODE_RRQ), 0);
}

TEST_F(RulesTest, AnEarlierRuleWithoutRightsCarvesAnException) {
  set_access_rule("pub\\0", ",192.168.1.7-192.168.1.7");
  set_access_rule("pub\\1", "r");
  EXPECT_EQ(allowed("192.168.1.7", OPCODE_RRQ, "pub/sub/a.bin"), 0);
  EXPECT_EQ(allowed("192.168.1.6", OPCODE_RRQ, "pub/sub/a.bin"), 1);
  EXPECT_EQ(allowed("192.168.1.8", OPCODE_RRQ, "pub/a"), 1);
  EXPECT_EQ(allowed("192.168.1.8", OPCODE_RRQ, "a"), 0) << "root rules are another list";
}

TEST_F(RulesTest, BadAddressesCoverNobodyAndAGapEndsTheList) {
  set_access_rule("%root%\\0", "rw,0.0.0.0");
  set_access_rule("%root%\\1", "rw,10.0.0.300");
  set_access_rule("%root%\\2", "rw,10.0.0.1-junk");
  set_access_rule("%root%\\3", "r,10.0.0.1-10.0.0.3");
  set_access_rule("%root%\\5", "rwo");  // after the gap at 4: never read
  EXPECT_EQ(allowed("10.0.0.2", OPCODE_RRQ), 1);
  EXPECT_EQ(allowed("10.0.0.2", OPCODE_WRQ), 0);
  EXPECT_EQ(allowed("10.0.0.9", OPCODE_RRQ), 0);
  set_access_rule("%root%\\4", std::string(64, 'r'));  // too long: ends the list as well
  EXPECT_EQ(allowed("10.0.0.9", OPCODE_RRQ), 0);
}

// The editor's save: the whole set is replaced, stale rules of the old set
// go, and an empty text stores no rule.
TEST_F(RulesTest, ReplacedRulesApplyWholeToTheNextCheck) {
  set_access_rule("%root%\\0", "rw");
  set_access_rule("%root%\\1", "r");
  set_access_rule("pub\\0", "rw");
  const char* names[] = {"%root%\\0", "%root%\\1", "pub\\0"};
  const char* texts[] = {",10.0.0.7-10.0.0.7", "r", ""};
  ASSERT_EQ(reg_replace_values("Kestrel\\Access", names, texts, 3), 1);
  EXPECT_EQ(allowed("10.0.0.7", OPCODE_RRQ), 0);
  EXPECT_EQ(allowed("10.0.0.8", OPCODE_RRQ), 1);
  EXPECT_EQ(allowed("10.0.0.8", OPCODE_WRQ), 0);
  EXPECT_EQ(allowed("10.0.0.8", OPCODE_RRQ, "pub/a"), 0) << "the empty text left no pub rule";
  std::string text;
  EXPECT_EQ(store_read_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel\\Access", "pub\\0", &text), 0);
}

// One request reads one rule set: with the editor replacing the set over
// and over, 10.0.0.7 may read under the old set and under the new one, and
// is refused only by old rule 1 read after new rule 0.
TEST_F(RulesTest, ARequestNeverReadsHalfOfTwoRuleSets) {
  const char* names[] = {"%root%\\0", "%root%\\1"};
  const char* old_set[] = {"r,10.0.0.7-10.0.0.7", ",10.0.0.7"};
  const char* new_set[] = {",10.0.0.1-10.0.0.6", "r"};
  ASSERT_EQ(reg_replace_values("Kestrel\\Access", names, old_set, 2), 1);
  std::atomic<int> stop{0};
  std::atomic<int> writes{0};
  std::thread editor([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < 2000 && !stop && std::chrono::steady_clock::now() < deadline; i++) {
      reg_replace_values("Kestrel\\Access", names, i % 2 ? old_set : new_set, 2);
      writes++;
    }
    stop = 1;
  });
  int refused = 0;
  long checks = 0;
  for (; checks < 20000000 && !stop; checks++) refused += allowed("10.0.0.7", OPCODE_RRQ) == 0;
  stop = 1;
  editor.join();
  EXPECT_GT(writes.load(), 10);
  EXPECT_EQ(refused, 0) << "of " << checks << " checks during " << writes.load() << " replacements";
}

TEST(ParseIpv4, StrictDottedQuads) {
  int valid = -1;
  EXPECT_EQ(parse_ipv4("192.168.1.10", &valid), ipv4("192.168.1.10"));
  EXPECT_EQ(valid, 1);
  EXPECT_EQ(parse_ipv4(" 10. 0. 0.1", &valid), ipv4("10.0.0.1"));
  EXPECT_EQ(valid, 1);
  for (const char* bad : {"0.0.0.0", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1.2.3.4 ", "a.b.c.d", "", "1..2.3",
                          "1.2.3.4x", "99999999999.1.1.1"}) {
    EXPECT_EQ(parse_ipv4(bad, &valid), 0u) << bad;
    EXPECT_EQ(valid, 0) << bad;
  }
}

}  // namespace
