// The local file: netascii translation across buffer edges, creation rules,
// and the temporary file of a GET that takes the target's name only at the end.
#include "client/local_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using namespace std::string_literals;

class LocalFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/pelican_local_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    directory = dir;
    path = directory + "/f";
  }
  void TearDown() override { std::filesystem::remove_all(directory); }
  std::vector<std::string> names() {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      found.push_back(entry.path().filename().string());
    }
    return found;
  }
  std::string contents() {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void store(const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }
  // Writes data in pieces of `piece` bytes through a buffer of `capacity`.
  std::string written(const std::string& data, int text, std::size_t piece, std::size_t capacity) {
    std::string buffer(capacity, 0);
    local_file f{};
    EXPECT_EQ(local_file_create(f, path.c_str(), 1, text,
                                reinterpret_cast<unsigned char*>(buffer.data()), capacity),
              LOCAL_FILE_OK);
    for (std::size_t i = 0; i < data.size(); i += piece) {
      std::string part = data.substr(i, piece);
      EXPECT_TRUE(local_file_write(f, reinterpret_cast<const unsigned char*>(part.data()),
                                   part.size()));
    }
    EXPECT_EQ(local_file_commit(f, path.c_str(), 1), LOCAL_FILE_OK);
    return contents();
  }
  // Reads the stored file in pieces of `piece` bytes through a buffer of `capacity`.
  std::string read_back(int text, std::size_t piece, std::size_t capacity) {
    std::string buffer(capacity, 0);
    local_file f{};
    EXPECT_EQ(local_file_open_read(f, path.c_str(), text,
                                   reinterpret_cast<unsigned char*>(buffer.data()), capacity),
              LOCAL_FILE_OK);
    std::string out;
    std::string part(piece, 0);
    for (int guard = 0; guard < 100000; guard++) {
      std::size_t n = local_file_read(f, reinterpret_cast<unsigned char*>(part.data()), piece);
      out.append(part.data(), n);
      if (n < piece) break;
    }
    EXPECT_EQ(local_file_read(f, reinterpret_cast<unsigned char*>(part.data()), piece), 0u);
    EXPECT_FALSE(f.failed);
    local_file_close(f);
    return out;
  }
  std::string directory;
  std::string path;
};

const std::string TEXT_DATA = "one\ntwo\r\nthree\rfour\n\n\x1a" "after\n"s;

TEST_F(LocalFile, TextWritingTurnsEachLfIntoCrLf) {
  const std::string expected = "one\r\ntwo\r\r\nthree\rfour\r\n\r\n\x1a" "after\r\n"s;
  for (std::size_t capacity : {2u, 3u, 5u, 4096u}) {
    for (std::size_t piece : {1u, 4u, 7u, 100u}) {
      EXPECT_EQ(written(TEXT_DATA, 1, piece, capacity), expected) << capacity << "/" << piece;
    }
  }
}

TEST_F(LocalFile, TextReadingJoinsCrLfStopsAt1AAndKeepsACrAtTheEnd) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\r\nb\rc\r\r\nd\n\r\n\x1a" "hidden\r\n"s, "a\nb\rc\r\nd\n\n"},
      {"x\r", "x\r"},
      {"y\r\x1a"s, "y\r"},
  };
  for (const auto& [stored, expected] : cases) {
    store(stored);
    for (std::size_t capacity : {1u, 2u, 3u, 4096u}) {
      for (std::size_t piece : {1u, 2u, 5u, 512u}) {
        EXPECT_EQ(read_back(1, piece, capacity), expected) << testing::PrintToString(stored) << capacity << "/" << piece;
      }
    }
  }
}

TEST_F(LocalFile, OctetIsUnchangedThroughAnyBuffer) {
  std::string data;
  for (int i = 0; i < 70000; i++) data += static_cast<char>((i * 7919) >> 3);
  EXPECT_EQ(written(data, 0, 1428, 4096), data);
  EXPECT_EQ(written(data, 0, 65464, 4096), data);
  EXPECT_EQ(written(data, 0, 3, 65536), data);
  EXPECT_EQ(read_back(0, 1428, 4096), data);
  EXPECT_EQ(read_back(0, 512, 65536), data);
}

TEST_F(LocalFile, CreateRefusesAnExistingFileUnlessOverwriting) {
  store("keep me");
  std::array<unsigned char, 16> buffer{};
  local_file f{};
  EXPECT_EQ(local_file_create(f, path.c_str(), 0, 0, buffer.data(), buffer.size()),
            LOCAL_FILE_EXISTS);
  EXPECT_EQ(f.fd, -1);
  EXPECT_EQ(contents(), "keep me");
  ASSERT_EQ(local_file_create(f, path.c_str(), 1, 0, buffer.data(), buffer.size()),
            LOCAL_FILE_OK);
  EXPECT_EQ(contents(), "keep me") << "the target stays until the file is complete";
  EXPECT_EQ(local_file_commit(f, path.c_str(), 1), LOCAL_FILE_OK);
  EXPECT_EQ(contents(), "");
  EXPECT_EQ(names(), std::vector<std::string>{"f"});
  std::string missing_dir = directory + "/no/such";
  EXPECT_EQ(local_file_create(f, missing_dir.c_str(), 1, 0, buffer.data(), buffer.size()),
            LOCAL_FILE_FAILED);
  EXPECT_EQ(local_file_open_read(f, directory.c_str(), 0, buffer.data(), buffer.size()),
            LOCAL_FILE_FAILED);
  // A directory as the target is an existing name, and no file with -o.
  EXPECT_EQ(local_file_create(f, directory.c_str(), 0, 0, buffer.data(), buffer.size()),
            LOCAL_FILE_EXISTS);
  EXPECT_EQ(local_file_create(f, directory.c_str(), 1, 0, buffer.data(), buffer.size()),
            LOCAL_FILE_FAILED);
  EXPECT_EQ(local_file_create(f, "", 1, 0, buffer.data(), buffer.size()), LOCAL_FILE_FAILED);
  EXPECT_EQ(names(), std::vector<std::string>{"f"});
}

TEST_F(LocalFile, CommitWithoutOverwriteKeepsANameThatAppearedMeanwhile) {
  std::array<unsigned char, 16> buffer{};
  local_file f{};
  ASSERT_EQ(local_file_create(f, path.c_str(), 0, 0, buffer.data(), buffer.size()), LOCAL_FILE_OK);
  const unsigned char data[] = "new";
  EXPECT_TRUE(local_file_write(f, data, 3));
  store("theirs");
  EXPECT_EQ(local_file_commit(f, path.c_str(), 0), LOCAL_FILE_EXISTS);
  EXPECT_EQ(contents(), "theirs");
  EXPECT_EQ(names(), std::vector<std::string>{"f"});
}

TEST_F(LocalFile, ALinkAsTargetIsReplacedNotFollowed) {
  std::string other = directory + "/other";
  std::ofstream(other, std::ios::binary) << "outside";
  ASSERT_EQ(symlink(other.c_str(), path.c_str()), 0);
  std::array<unsigned char, 16> buffer{};
  local_file f{};
  EXPECT_EQ(local_file_create(f, path.c_str(), 0, 0, buffer.data(), buffer.size()), LOCAL_FILE_EXISTS);
  ASSERT_EQ(local_file_create(f, path.c_str(), 1, 0, buffer.data(), buffer.size()), LOCAL_FILE_OK);
  const unsigned char data[] = "mine";
  EXPECT_TRUE(local_file_write(f, data, 4));
  EXPECT_EQ(local_file_commit(f, path.c_str(), 1), LOCAL_FILE_OK);
  EXPECT_EQ(contents(), "mine");
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path)));
  std::ifstream in(other, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "outside");
}

TEST_F(LocalFile, SeekPlacesTheNextWrite) {
  std::array<unsigned char, 8> buffer{};
  local_file f{};
  ASSERT_EQ(local_file_create(f, path.c_str(), 1, 0, buffer.data(), buffer.size()),
            LOCAL_FILE_OK);
  const unsigned char a[] = "AAAA";
  const unsigned char b[] = "BB";
  EXPECT_TRUE(local_file_write(f, a, 4));
  EXPECT_TRUE(local_file_seek(f, 1));
  EXPECT_TRUE(local_file_write(f, b, 2));
  EXPECT_EQ(local_file_commit(f, path.c_str(), 1), LOCAL_FILE_OK);
  EXPECT_EQ(contents(), "ABBA");
}

TEST_F(LocalFile, WriteFailureIsReported) {
  std::array<unsigned char, 4> buffer{};
  local_file f{};
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  // A device is written itself, never through a file beside it.
  ASSERT_EQ(local_file_create(f, "/dev/full", 1, 0, buffer.data(), buffer.size()), LOCAL_FILE_OK);
  EXPECT_EQ(f.temporary[0], 0);
  const unsigned char data[] = "0123456789";
  int wrote = local_file_write(f, data, 10);
  EXPECT_TRUE(f.failed || !wrote);
  int committed = local_file_commit(f, "/dev/full", 1);
  EXPECT_FALSE(wrote && committed == LOCAL_FILE_OK);
  EXPECT_EQ(committed, LOCAL_FILE_FAILED);
}

}  // namespace
