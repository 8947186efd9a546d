// The store's interface over real files: where they live, what a write
// leaves in them, and how keys and values are found and removed.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/store/store_test_util.h"

namespace {

using StoreFile = StoreTest;

std::vector<std::string> names_of(const std::vector<store_value>& values) {
  std::vector<std::string> out;
  for (const store_value& v : values) out.push_back(v.name);
  return out;
}

TEST_F(StoreFile, MissingFileIsAnEmptyHive) {
  std::string out = "untouched";
  EXPECT_EQ(store_read_value(HIVE_MACHINE, KESTREL, "Port", &out), 0);
  EXPECT_EQ(out, "untouched");
  std::vector<store_value> values;
  std::vector<std::string> subkeys;
  EXPECT_EQ(store_list_key(HIVE_MACHINE, KESTREL, &values, &subkeys), 0);
  EXPECT_EQ(store_list_key(HIVE_MACHINE, "", &values, &subkeys), 1);
  EXPECT_TRUE(values.empty());
  EXPECT_TRUE(subkeys.empty());
  EXPECT_EQ(store_delete_value(HIVE_MACHINE, KESTREL, "Port"), 0);
  EXPECT_EQ(store_delete_key(HIVE_MACHINE, KESTREL), 0);
  struct stat st;
  EXPECT_NE(stat(hklm_.c_str(), &st), 0) << "reading or failed deleting must not create the hive";
}

TEST_F(StoreFile, WriteCreatesDirectoryAndFileWithFixedModes) {
  std::string nested = dir_ + "/a/b/hklm.reg";
  setenv("ORVANEL_HKLM", nested.c_str(), 1);
  mode_t old_mask = umask(077);
  int written = store_write_value(HIVE_MACHINE, KESTREL, "RootDirectory", "/srv/tftp/");
  umask(old_mask);
  ASSERT_EQ(written, 1);

  struct stat st;
  ASSERT_EQ(stat((dir_ + "/a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(stat(nested.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(read_text(nested),
            "REGEDIT4\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]\n"
            "\"RootDirectory\"=\"/srv/tftp/\"\n\n");
  // No temporary file is left behind.
  EXPECT_NE(stat((nested + ".tmp." + std::to_string(getpid())).c_str(), &st), 0);
}

TEST_F(StoreFile, NamesMatchAnyCaseAndKeepTheirFirstSpelling) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "RootDirectory", "/a/"), 1);
  ASSERT_EQ(store_write_value(HIVE_MACHINE, "SOFTWARE\\orvanel\\KESTREL", "rootdirectory", "/b/"), 1);

  std::string out;
  int type = -1;
  ASSERT_EQ(store_read_value(HIVE_MACHINE, "software\\ORVANEL\\kestrel", "ROOTDIRECTORY", &out, &type), 1);
  EXPECT_EQ(out, "/b/");
  EXPECT_EQ(type, STORE_SZ);

  std::string text = read_text(hklm_);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]\n\"RootDirectory\"=\"/b/\"\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("KESTREL"), std::string::npos) << text;
  EXPECT_EQ(text.find("rootdirectory"), std::string::npos) << text;
}

TEST_F(StoreFile, AccessRuleNamesWithBackslashesSurviveTheFile) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, ACCESS, "%root%\\0", "rw,10.0.0.1-10.0.0.9"), 1);
  ASSERT_EQ(store_write_value(HIVE_MACHINE, ACCESS, "pub\\0", "r"), 1);
  ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Quoted \"dir\"", "C:\\tftp\\"), 1);

  std::string text = read_text(hklm_);
  EXPECT_NE(text.find("\n\"%root%\\\\0\"=\"rw,10.0.0.1-10.0.0.9\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n\"Quoted \\\"dir\\\"\"=\"C:\\\\tftp\\\\\"\n"), std::string::npos) << text;

  // What another process would see: the file parsed afresh.
  store_document doc;
  store_parse(text, &doc);
  ASSERT_EQ(doc.keys.size(), 2u);
  std::vector<store_value> values;
  ASSERT_EQ(store_list_key(HIVE_MACHINE, ACCESS, &values, nullptr), 1);
  EXPECT_EQ(names_of(values), (std::vector<std::string>{"%root%\\0", "pub\\0"}));
  std::string out;
  ASSERT_EQ(store_read_value(HIVE_MACHINE, ACCESS, "PUB\\0", &out), 1);
  EXPECT_EQ(out, "r");
  EXPECT_EQ(store_read_value(HIVE_MACHINE, ACCESS, "pub", &out), 0);
}

TEST_F(StoreFile, OtherTypesSurviveRewritesAndReadAsRawBytes) {
  ASSERT_EQ(store_create_key(HIVE_MACHINE, KESTREL), 1);  // makes the directory
  const std::string original =
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]\r\n"
      "\"Port\"=dword:00000045\r\n"
      "\"Blob\"=hex:de,ad,\\\r\n"
      "  be,ef\r\n"
      "\"Expand\"=hex(2):41,00,00,00\r\n";
  write_text(hklm_, original);

  ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "RootDirectory", "/srv/"), 1);
  std::string text = read_text(hklm_);
  EXPECT_NE(text.find("\n\"Port\"=dword:00000045\n\"Blob\"=hex:de,ad,\\\n  be,ef\n\"Expand\"=hex(2):41,00,00,00\n"),
            std::string::npos)
      << text;

  std::string out;
  int type = -1;
  ASSERT_EQ(store_read_value(HIVE_MACHINE, KESTREL, "port", &out, &type), 1);
  EXPECT_EQ(type, STORE_OTHER);
  EXPECT_EQ(out, std::string("\x45\0\0\0", 4));  // not the number 69 as text
  ASSERT_EQ(store_read_value(HIVE_MACHINE, KESTREL, "Blob", &out, &type), 1);
  EXPECT_EQ(out, "\xde\xad\xbe\xef");

  // Setting it as text replaces the type in place.
  ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "PORT", "69"), 1);
  ASSERT_EQ(store_read_value(HIVE_MACHINE, KESTREL, "Port", &out, &type), 1);
  EXPECT_EQ(type, STORE_SZ);
  EXPECT_EQ(out, "69");
  text = read_text(hklm_);
  EXPECT_NE(text.find("\n\"Port\"=\"69\"\n\"Blob\"=hex:de,ad,\\\n"), std::string::npos) << text;
}

TEST_F(StoreFile, DeletingValuesLeavesTheKey) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, ACCESS, "%root%\\0", "r"), 1);
  ASSERT_EQ(store_write_value(HIVE_MACHINE, ACCESS, "pub\\0", "rw"), 1);

  EXPECT_EQ(store_delete_value(HIVE_MACHINE, ACCESS, "%ROOT%\\0"), 1);
  std::string out;
  EXPECT_EQ(store_read_value(HIVE_MACHINE, ACCESS, "%root%\\0", &out), 0);
  ASSERT_EQ(store_read_value(HIVE_MACHINE, ACCESS, "pub\\0", &out), 1);
  EXPECT_EQ(out, "rw");

  EXPECT_EQ(store_delete_value(HIVE_MACHINE, ACCESS, "pub\\0"), 1);
  std::vector<store_value> values{{"stale", STORE_SZ, "", ""}};
  EXPECT_EQ(store_list_key(HIVE_MACHINE, ACCESS, &values, nullptr), 1);
  EXPECT_TRUE(values.empty());
  EXPECT_NE(read_text(hklm_).find("[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel\\Access]\n"), std::string::npos);

  // A value that is not there, in a key that is: still 1.
  EXPECT_EQ(store_delete_value(HIVE_MACHINE, ACCESS, "never"), 1);
  // A key that exists only because a key below it does.
  EXPECT_EQ(store_delete_value(HIVE_MACHINE, "Software\\Orvanel", "never"), 1);
  EXPECT_EQ(store_delete_value(HIVE_MACHINE, "Software\\Nothing", "never"), 0);
}

TEST_F(StoreFile, DeletingAKeyRemovesItsSubtreeOnly) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Port", "69"), 1);
  ASSERT_EQ(store_write_value(HIVE_MACHINE, ACCESS, "%root%\\0", "r"), 1);
  ASSERT_EQ(store_write_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel\\Access\\Deep", "x", "1"), 1);
  ASSERT_EQ(store_write_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel\\Other", "x", "2"), 1);
  ASSERT_EQ(store_write_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel\\AccessX", "x", "3"), 1);

  EXPECT_EQ(store_delete_key(HIVE_MACHINE, "software\\orvanel\\kestrel\\ACCESS"), 1);
  EXPECT_EQ(store_list_key(HIVE_MACHINE, ACCESS, nullptr, nullptr), 0);
  EXPECT_EQ(store_list_key(HIVE_MACHINE, "Software\\Orvanel\\Kestrel\\Access\\Deep", nullptr, nullptr), 0);
  std::vector<store_value> values;
  std::vector<std::string> subkeys;
  ASSERT_EQ(store_list_key(HIVE_MACHINE, KESTREL, &values, &subkeys), 1);
  EXPECT_EQ(names_of(values), std::vector<std::string>{"Port"});
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Other", "AccessX"}));
  EXPECT_EQ(store_delete_key(HIVE_MACHINE, ACCESS), 0);

  // The parent of a deleted key stays even when nothing else held it.
  ASSERT_EQ(store_write_value(HIVE_MACHINE, "A\\B\\C", "x", "1"), 1);
  EXPECT_EQ(store_delete_key(HIVE_MACHINE, "A\\B\\C"), 1);
  EXPECT_EQ(store_list_key(HIVE_MACHINE, "A\\B", nullptr, nullptr), 1);
  EXPECT_EQ(store_list_key(HIVE_MACHINE, "A\\B\\C", nullptr, nullptr), 0);

  EXPECT_EQ(store_delete_key(HIVE_MACHINE, ""), 0);
  EXPECT_EQ(store_delete_key(HIVE_MACHINE, "\\"), 0);
  EXPECT_EQ(store_list_key(HIVE_MACHINE, KESTREL, nullptr, nullptr), 1);
}

TEST_F(StoreFile, ListingNamesEachSubkeyOnceInItsFirstSpelling) {
  std::filesystem::create_directories(dir_ + "/machine");
  write_text(hklm_,
             "REGEDIT4\n\n"
             "[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel\\Access]\n"
             "[HKEY_LOCAL_MACHINE\\software\\orvanel\\KESTREL]\n"
             "\"Port\"=\"69\"\n"
             "[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Harrier]\n"
             "[HKEY_LOCAL_MACHINE\\Software\\OrvanelX]\n");
  std::vector<store_value> values;
  std::vector<std::string> subkeys;
  // "Software\Orvanel" has no section of its own; it exists through its children.
  ASSERT_EQ(store_list_key(HIVE_MACHINE, "SOFTWARE\\ORVANEL", &values, &subkeys), 1);
  EXPECT_TRUE(values.empty());
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Kestrel", "Harrier"}));
  ASSERT_EQ(store_list_key(HIVE_MACHINE, "", &values, &subkeys), 1);
  EXPECT_EQ(subkeys, std::vector<std::string>{"Software"});
  ASSERT_EQ(store_list_key(HIVE_MACHINE, KESTREL, &values, &subkeys), 1);
  EXPECT_EQ(names_of(values), std::vector<std::string>{"Port"});
  EXPECT_EQ(subkeys, std::vector<std::string>{"Access"});
  EXPECT_EQ(store_list_key(HIVE_MACHINE, "Software\\Orvane", nullptr, nullptr), 0);
}

TEST_F(StoreFile, HivesAreSeparateFilesChosenAtEachCall) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Port", "69"), 1);
  ASSERT_EQ(store_write_value(HIVE_USER, KESTREL, "Port", "1069"), 1);
  std::string out;
  ASSERT_EQ(store_read_value(HIVE_MACHINE, KESTREL, "Port", &out), 1);
  EXPECT_EQ(out, "69");
  ASSERT_EQ(store_read_value(HIVE_USER, KESTREL, "Port", &out), 1);
  EXPECT_EQ(out, "1069");
  EXPECT_NE(read_text(hkcu_).find("[HKEY_CURRENT_USER\\Software\\Orvanel\\Kestrel]\n"), std::string::npos);

  std::string other = dir_ + "/other.reg";
  setenv("ORVANEL_HKLM", other.c_str(), 1);
  EXPECT_EQ(store_file_path(HIVE_MACHINE), other);
  EXPECT_EQ(store_read_value(HIVE_MACHINE, KESTREL, "Port", &out), 0);
  setenv("ORVANEL_HKLM", hklm_.c_str(), 1);
  EXPECT_EQ(store_read_value(HIVE_MACHINE, KESTREL, "Port", &out), 1);

  unsetenv("ORVANEL_HKLM");
  unsetenv("ORVANEL_HKCU");
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(store_file_path(HIVE_MACHINE), "/etc/orvanel/hklm.reg");
  EXPECT_EQ(store_file_path(HIVE_USER), "/home/someone/.config/orvanel/hkcu.reg");
  if (home.empty()) {
    unsetenv("HOME");
  } else {
    setenv("HOME", home.c_str(), 1);
  }
  EXPECT_EQ(store_read_value(7, KESTREL, "Port", &out), 0);
  EXPECT_EQ(store_write_value(-1, KESTREL, "Port", "1"), 0);
}

TEST_F(StoreFile, WritesThatCannotBeStoredFailAndChangeNothing) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Port", "69"), 1);
  std::string before = read_text(hklm_);
  EXPECT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Banner", "two\nlines"), 0);
  EXPECT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Bad\rName", "x"), 0);
  EXPECT_EQ(store_write_value(HIVE_MACHINE, "Software\nX", "Port", "x"), 0);
  EXPECT_EQ(read_text(hklm_), before);

  // A directory in the path that is a plain file: not writable even by root.
  write_text(dir_ + "/plain", "x");
  setenv("ORVANEL_HKLM", (dir_ + "/plain/hklm.reg").c_str(), 1);
  EXPECT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Port", "69"), 0);
  EXPECT_EQ(store_create_key(HIVE_MACHINE, KESTREL), 0);
  std::string out;
  EXPECT_EQ(store_read_value(HIVE_MACHINE, KESTREL, "Port", &out), 0);
}

}  // namespace
