// The parsed copy a reader keeps: used while the file is unchanged, dropped
// as soon as another writer replaced or edited it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/store/store_test_util.h"

namespace {

using StoreCache = StoreTest;

std::string read_port() {
  std::string out;
  if (!store_read_value(HIVE_MACHINE, KESTREL, "Port", &out)) return "<none>";
  return out;
}

// Overwrites the file's bytes in place, same inode and size, then puts the
// modification time back to what it was or moves it by delta_ns.
void edit_in_place(const std::string& path, const std::string& text, long delta_ns) {
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  times[1].tv_nsec += delta_ns;
  if (times[1].tv_nsec >= 1000000000L) {
    times[1].tv_nsec -= 1000000000L;
    times[1].tv_sec += 1;
  }
  ASSERT_EQ(futimens(fd, times), 0);
  close(fd);
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(after.st_size, before.st_size);
}

TEST_F(StoreCache, UnchangedIdentityServesTheParsedCopyAndAnyChangeIsSeen) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Port", "1111"), 1);
  ASSERT_EQ(read_port(), "1111");
  std::string text = read_text(hklm_);
  size_t at = text.find("1111");
  ASSERT_NE(at, std::string::npos);

  // Same inode, size and mtime: the file is not read again.
  text.replace(at, 4, "2222");
  edit_in_place(hklm_, text, 0);
  EXPECT_EQ(read_port(), "1111");

  // One nanosecond later is a different file.
  edit_in_place(hklm_, text, 1);
  EXPECT_EQ(read_port(), "2222");

  // A new file renamed over the old one with the same size and mtime:
  // only the inode tells.
  struct stat old_st;
  ASSERT_EQ(stat(hklm_.c_str(), &old_st), 0);
  text.replace(at, 4, "3333");
  std::string tmp = hklm_ + ".editor";
  write_text(tmp, text);
  struct timespec times[2] = {old_st.st_atim, old_st.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, tmp.c_str(), times, 0), 0);
  ASSERT_EQ(rename(tmp.c_str(), hklm_.c_str()), 0);
  EXPECT_EQ(read_port(), "3333");

  // The file removed: an empty hive again.
  ASSERT_EQ(unlink(hklm_.c_str()), 0);
  EXPECT_EQ(read_port(), "<none>");
}

// Another process writes values of the same length in quick succession, so
// neither size nor a coarse clock can tell the versions apart.
TEST_F(StoreCache, SeesEveryWriteOfAnotherProcess) {
  std::string expected = "p000";
  ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Port", expected), 1);
  for (int i = 1; i <= 25; ++i) {
    ASSERT_EQ(read_port(), expected);
    char child_value[8];
    std::snprintf(child_value, sizeof child_value, "c%03d", i);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(store_write_value(HIVE_MACHINE, KESTREL, "Port", child_value) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(read_port(), child_value) << "round " << i;

    char own_value[8];
    std::snprintf(own_value, sizeof own_value, "p%03d", i);
    ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Port", own_value), 1);
    expected = own_value;
  }
}

// Inode numbers are reused and clocks are coarse, so a write makes the new
// file's mtime newer than the one it replaces, even one dated ahead.
TEST_F(StoreCache, EachWriteMovesTheModificationTimeForward) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Port", "1111"), 1);
  struct stat st;
  ASSERT_EQ(stat(hklm_.c_str(), &st), 0);
  struct timespec ahead[2] = {st.st_atim, st.st_mtim};
  ahead[1].tv_sec += 3600;
  ASSERT_EQ(utimensat(AT_FDCWD, hklm_.c_str(), ahead, 0), 0);

  long long previous = static_cast<long long>(ahead[1].tv_sec) * 1000000000LL + ahead[1].tv_nsec;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Port", std::to_string(2222 + i)), 1);
    ASSERT_EQ(stat(hklm_.c_str(), &st), 0);
    long long now = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    EXPECT_GT(now, previous) << "write " << i;
    previous = now;
  }
}

}  // namespace
