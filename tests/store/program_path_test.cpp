// module_directory: the directory of the running test binary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
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

// log_directory: the setting, then systemd's directory, then (this test
// program lying in a build tree) the program's directory.
struct logs_variable {
  std::string saved;
  bool had;
  logs_variable() {
    const char* value = getenv("LOGS_DIRECTORY");
    had = value != nullptr;
    if (had) saved = value;
  }
  ~logs_variable() {
    if (had)
      setenv("LOGS_DIRECTORY", saved.c_str(), 1);
    else
      unsetenv("LOGS_DIRECTORY");
  }
};

TEST(LogDirectory, SettingThenSystemdThenProgramDirectory) {
  logs_variable keep;
  char own[PATH_MAX + 1], buf[PATH_MAX + 1];
  ASSERT_GT(module_directory(own, sizeof own), 0u);

  unsetenv("LOGS_DIRECTORY");
  EXPECT_EQ(log_directory("", buf, sizeof buf), strlen(own));
  EXPECT_STREQ(buf, own);
  EXPECT_EQ(log_directory(nullptr, buf, sizeof buf), strlen(own));
  EXPECT_STREQ(buf, own);

  setenv("LOGS_DIRECTORY", "/var/log/orvanel-tftp:/var/log/other", 1);
  EXPECT_EQ(log_directory("", buf, sizeof buf), 22u);
  EXPECT_STREQ(buf, "/var/log/orvanel-tftp/");  // the first one, with its "/"
  EXPECT_GT(log_directory("logs/here", buf, sizeof buf), 0u);
  EXPECT_STREQ(buf, "/var/log/orvanel-tftp/") << "a relative setting is no directory";

  EXPECT_EQ(log_directory("/srv/logs", buf, sizeof buf), 10u);
  EXPECT_STREQ(buf, "/srv/logs/");
  EXPECT_GT(log_directory("/srv/logs/", buf, sizeof buf), 0u);
  EXPECT_STREQ(buf, "/srv/logs/");

  setenv("LOGS_DIRECTORY", "relative", 1);
  EXPECT_GT(log_directory("", buf, sizeof buf), 0u);
  EXPECT_STREQ(buf, own);
}

TEST(LogDirectory, TooSmallBufferGivesEmptyResult) {
  char buf[10];
  buf[0] = 'x';
  EXPECT_EQ(log_directory("/srv/logs", buf, sizeof buf), 0u);  // "/srv/logs/" and its zero need 11
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(log_directory("/srv/logs", nullptr, 100), 0u);
}

TEST(DataDirectory, IsTheProgramDirectoryInABuildTree) {
  char own[PATH_MAX + 1], buf[PATH_MAX + 1];
  ASSERT_GT(module_directory(own, sizeof own), 0u);
  EXPECT_EQ(data_directory(buf, sizeof buf), strlen(own));
  EXPECT_STREQ(buf, own);
}

}  // namespace
