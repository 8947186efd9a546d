// Opening beneath a base directory, by the kernel's resolution and by our
// own walk, against links planted in a test tree; uploads through new
// files; copies from a mapping whose file is cut short.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/file_mapping.h"
#include "platform/file_open.h"
#include "tests/unit/test_support.h"

namespace {

void write_text(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

std::string read_text(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  std::string text;
  char buffer[256];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  fclose(f);
  return text;
}

std::string read_fd(int fd) {
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

// Runs every case once with the kernel's resolution and once with the walk.
class Beneath : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    file_open_kernel_beneath = GetParam();
    top = make_temp_dir();
    root = top + "root/";
    outside = top + "outside/";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "sub").c_str(), 0755), 0);
    write_text(root + "sub/real.txt", "inside");
    write_text(outside + "secret.txt", "secret");
    link("sub/real.txt", "in_link");
    link(root + "sub/real.txt", "abs_in_link");
    link("sub", "in_dir");
    link("../outside/secret.txt", "up_link");
    link(outside + "secret.txt", "out_link");
    link(outside, "out_dir");
    link("loop_b", "loop_a");
    link("loop_a", "loop_b");
    base = open_base_directory(root.c_str());
    ASSERT_GE(base, 0);
  }

  void TearDown() override {
    close(base);
    file_open_kernel_beneath = 1;
  }

  void link(const std::string& target, const std::string& name) {
    ASSERT_EQ(symlink(target.c_str(), (root + name).c_str()), 0) << name;
  }

  // The file's contents, or "<errno name>" when it was refused.
  std::string open_read(const char* relative) {
    file_status st;
    int fd = open_file_beneath(base, relative, &st);
    if (fd < 0) return errno == EXDEV ? "<EXDEV>" : errno == ENOENT ? "<ENOENT>" : "<errno " + std::to_string(errno) + ">";
    return read_fd(fd);
  }

  // Uploads text to relative; returns 1 when it was put in place.
  int upload(const char* relative, const std::string& text, int replace = 1, int* error = nullptr) {
    upload_file u;
    if (!resolve_upload(base, relative, &u)) {
      if (error) *error = errno;
      return 0;
    }
    int fd = create_upload_file(&u);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    int ok = commit_upload(&u, fd, replace);
    if (error) *error = errno;
    close(fd);
    return ok;
  }

  std::string top, root, outside;
  int base = -1;
};

TEST_P(Beneath, ReadsFollowLinksThatStayInsideOnly) {
  EXPECT_EQ(open_read("sub/real.txt"), "inside");
  EXPECT_EQ(open_read("in_link"), "inside");
  EXPECT_EQ(open_read("abs_in_link"), "inside") << "an absolute link back inside the base";
  EXPECT_EQ(open_read("in_dir/real.txt"), "inside");
  EXPECT_EQ(open_read("in_dir/../sub/real.txt"), "inside");
  EXPECT_EQ(open_read("up_link"), "<EXDEV>");
  EXPECT_EQ(open_read("out_link"), "<EXDEV>");
  EXPECT_EQ(open_read("out_dir/secret.txt"), "<EXDEV>");
  EXPECT_EQ(open_read("../outside/secret.txt"), "<EXDEV>");
  EXPECT_EQ(open_read("sub/../../outside/secret.txt"), "<EXDEV>");
  EXPECT_EQ(open_read("missing.txt"), "<ENOENT>");
  EXPECT_EQ(open_read("loop_a"), "<errno " + std::to_string(ELOOP) + ">");
  EXPECT_EQ(open_read("sub"), "<errno " + std::to_string(EISDIR) + ">");
  EXPECT_EQ(mkfifo((root + "fifo").c_str(), 0644), 0);
  EXPECT_EQ(open_read("fifo"), "<errno " + std::to_string(EINVAL) + ">") << "a FIFO must neither block nor be served";
  EXPECT_TRUE(is_directory_beneath(base, "in_dir"));
  EXPECT_FALSE(is_directory_beneath(base, "out_dir"));
}

TEST_P(Beneath, UploadsReplaceTheFileALinkInsideNamesAndNothingOutside) {
  EXPECT_EQ(upload("in_link", "new inside"), 1);
  EXPECT_EQ(read_text(root + "sub/real.txt"), "new inside");
  struct stat st;
  ASSERT_EQ(lstat((root + "in_link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link itself stays";
  EXPECT_EQ(upload("in_dir/new.txt", "created"), 1);
  EXPECT_EQ(read_text(root + "sub/new.txt"), "created");

  int error = 0;
  for (const char* name : {"out_link", "up_link", "out_dir/new.txt", "../outside/new.txt"}) {
    EXPECT_EQ(upload(name, "escape", 1, &error), 0) << name;
    EXPECT_EQ(error, EXDEV) << name;
  }
  EXPECT_EQ(read_text(outside + "secret.txt"), "secret");
  EXPECT_EQ(read_text(outside + "new.txt"), "<missing>");
  EXPECT_EQ(upload("missing_dir/x.txt", "x", 1, &error), 0);
  EXPECT_EQ(error, ENOENT);
}

TEST_P(Beneath, CommittedUploadsKeepReadWriteBitsAndOwnerButNeverExecuteOrSetId) {
  write_text(root + "conf.txt", "old");
  ASSERT_EQ(chmod((root + "conf.txt").c_str(), 0600), 0);
  ASSERT_EQ(upload("conf.txt", "new"), 1);
  struct stat st;
  ASSERT_EQ(stat((root + "conf.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(chmod((root + "conf.txt").c_str(), 04755), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown((root + "conf.txt").c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(upload("conf.txt", "newer"), 1);
  ASSERT_EQ(stat((root + "conf.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u) << "execute and set-user rights dropped";
  if (geteuid() == 0) {
    EXPECT_EQ(st.st_uid, 65534u);
  }
  EXPECT_EQ(read_text(root + "conf.txt"), "newer");
}

TEST_P(Beneath, WithoutReplaceAnExistingNameIsKeptAndAbandonedUploadsVanish) {
  write_text(root + "keep.txt", "kept");
  int error = 0;
  EXPECT_EQ(upload("keep.txt", "other", 0, &error), 0);
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(read_text(root + "keep.txt"), "kept");
  EXPECT_EQ(upload("fresh.txt", "fresh", 0), 1);
  EXPECT_EQ(read_text(root + "fresh.txt"), "fresh");

  upload_file u;
  ASSERT_TRUE(resolve_upload(base, "keep.txt", &u));
  EXPECT_TRUE(u.exists);
  int fd = create_upload_file(&u);
  ASSERT_GE(fd, 0);
  std::string temporary = root + u.temporary;
  EXPECT_EQ(access(temporary.c_str(), F_OK), 0);
  abandon_upload(&u);
  close(fd);
  EXPECT_NE(access(temporary.c_str(), F_OK), 0) << "the new file of a failed upload stays";
  EXPECT_EQ(read_text(root + "keep.txt"), "kept");
}

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, Beneath, ::testing::Values(1, 0));

TEST(Mapping, ACopyFromAFileCutShortFailsInsteadOfEndingTheProcess) {
  std::string path = make_temp_dir() + "cut.bin";
  write_text(path, std::string(3 * 4096, 'm'));
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  file_mapping* m = map_file_descriptor(fd, 3 * 4096);
  ASSERT_NE(m, nullptr);
  uint8_t out[4096];
  EXPECT_EQ(copy_from_mapping(m, 4096, out, sizeof out), 1);
  EXPECT_EQ(out[0], 'm');
  ASSERT_EQ(truncate(path.c_str(), 100), 0);  // what "cp new old" does first
  EXPECT_EQ(copy_from_mapping(m, 8192, out, sizeof out), 0);
  EXPECT_EQ(copy_from_mapping(m, 0, out, 100), 1) << "what is still there can be read";
  EXPECT_EQ(copy_from_mapping(m, 3 * 4096, out, 1), 0) << "beyond the mapping";
  close_file_mapping(m);
  close(fd);
}

}  // namespace
