// module_directory: the directory of the running test binary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "platform/program_path.h"

namespace {

TEST(ProgramPath, NamesTheDirectoryHoldingThisExecutable) {
  char buf[PATH_MAX + 1];
  size_t len = module_directory(buf, sizeof buf);
  ASSERT_GT(len, 1u);
  std::string dir(buf);
  ASSERT_EQ(dir.size(), len);
  EXPECT_EQ(dir.front(), '/');
  EXPECT_EQ(dir.back(), '/');

  char exe[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", exe, PATH_MAX);
  ASSERT_GT(n, 0);
  std::string self(exe, static_cast<size_t>(n));
  EXPECT_EQ(self.substr(0, len), dir);
  EXPECT_EQ(self.find('/', len), std::string::npos) << "the file name must follow directly";
  struct stat st;
  EXPECT_EQ(stat((dir + "store_tests").c_str(), &st), 0);
}

TEST(ProgramPath, TooSmallBufferGivesEmptyResult) {
  char full[PATH_MAX + 1];
  size_t len = module_directory(full, sizeof full);
  ASSERT_GT(len, 0u);
  char small[PATH_MAX + 1];
  small[0] = 'x';
  EXPECT_EQ(module_directory(small, len), 0u);  // no room for the terminator
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(module_directory(small, len + 1), len);
  EXPECT_EQ(module_directory(nullptr, 100), 0u);
}

}  // namespace
