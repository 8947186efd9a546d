// Prefix entries as Windows spells them: a drive letter, ":" and "\", with
// the drive named as the first directory of the request.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/access_rules.h"
#include "core/session.h"
#include "core/settings.h"
#include "tests/unit/test_support.h"

namespace {

struct resolved {
  int refusal;
  std::string path;
  size_t base_length;
};

resolved resolve(const std::string& name) {
  std::string buffer = name;
  char path[SESSION_PATH_SIZE] = {0};
  int overwrite = -1;
  size_t base_length = 0;
  int refusal = resolve_path(buffer.data(), ipv4_address(ipv4("10.0.0.1")), OPCODE_RRQ, path, &overwrite, &base_length);
  return {refusal, path, base_length};
}

TEST(WindowsPrefix, TheDriveIsTheFirstDirectoryAndComparesExactly) {
  use_fresh_store();
  std::string root = make_temp_dir();
  set_setting("RootDirectory", root);
  set_setting("Prefix", "d:\\images;e:\\pub\\");
  load_settings(SETTINGS_KEY);

  resolved r = resolve("/d/images/a.bin");
  EXPECT_EQ(r.refusal, 0);
  EXPECT_EQ(r.path, "d:\\images\\a.bin");
  EXPECT_EQ(r.base_length, strlen("d:\\images")) << "opened beneath the entry";

  r = resolve("\\e\\PUB\\x\\y");
  EXPECT_EQ(r.path, "e:\\pub\\x\\y") << "the rest compares without regard to case, spelt as the entry";

  r = resolve("/D/images/a.bin");
  EXPECT_EQ(r.path, root + "D\\images\\a.bin") << "another drive letter case: under the root";
  EXPECT_EQ(r.base_length, root.size());

  r = resolve("/d/images2/a.bin");
  EXPECT_EQ(r.path, root + "d\\images2\\a.bin") << "a neighbour is not below the entry";
}

}  // namespace
