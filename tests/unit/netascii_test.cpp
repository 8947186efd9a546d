// Netascii translation of reads and writes, and re-reading blocks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/block_loading.h"
#include "core/netascii.h"
#include "core/session.h"
#include "platform/file_open.h"
#include "tests/unit/test_support.h"

namespace {

FILE* stream_of(const std::string& content) {
  FILE* f = tmpfile();
  fwrite(content.data(), 1, content.size(), f);
  rewind(f);
  return f;
}

std::string read_all(FILE* f, size_t chunk) {
  std::string out;
  int ended = 0;
  uint8_t buffer[64];
  for (int i = 0; i < 100000; i++) {
    size_t n = netascii_read(f, buffer, chunk, &ended);
    if (n == 0) break;
    out.append(reinterpret_cast<char*>(buffer), n);
  }
  return out;
}

TEST(Netascii, ReadFoldsCrLfAndStopsAtControlZ) {
  for (size_t chunk : {1u, 2u, 3u, 64u}) {
    FILE* f = stream_of("a\r\nb\rc\r\r\nd\n\x1a tail");
    EXPECT_EQ(read_all(f, chunk), "a\nb\rc\r\nd\n") << "chunk " << chunk;
    fclose(f);
  }
  FILE* f = stream_of("ends with cr\r");
  EXPECT_EQ(read_all(f, 5), "ends with cr\r");
  fclose(f);
}

TEST(Netascii, WriteExpandsEveryLf) {
  FILE* f = tmpfile();
  const std::string data = "a\r\nb\n\nc";
  ASSERT_EQ(netascii_write(f, reinterpret_cast<const uint8_t*>(data.data()), data.size()), 1);
  std::string back(32, '\0');
  rewind(f);
  back.resize(fread(back.data(), 1, back.size(), f));
  EXPECT_EQ(back, "a\r\r\nb\r\n\r\nc");
  fclose(f);
}

TEST(Netascii, WriteReportsAFailedWrite) {
  FILE* f = fopen("/dev/full", "wb");
  ASSERT_NE(f, nullptr);
  setvbuf(f, nullptr, _IONBF, 0);
  const std::string data(100, '\n');
  EXPECT_EQ(netascii_write(f, reinterpret_cast<const uint8_t*>(data.data()), data.size()), 0);
  fclose(f);
}

// load_block on a netascii stream: blocks come out translated, and a block
// loaded again (after a retransmission) has the same bytes as the first time.
TEST(Netascii, BlocksLoadedAgainMatchTheTranslatedStream) {
  std::string dir = make_temp_dir();
  std::string content;
  for (int i = 0; i < 300; i++) content += "line " + std::to_string(i) + "\r\n";
  FILE* f = fopen((dir + "text").c_str(), "wb");
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);

  std::string translated;
  for (int i = 0; i < 300; i++) translated += "line " + std::to_string(i) + "\n";

  tftp_session* s = new_session();
  s->file = fopen((dir + "text").c_str(), "rb");
  ASSERT_NE(s->file, nullptr);
  s->file_size = content.size();
  s->mode = MODE_NETASCII;
  s->block_size = 64;
  uint8_t buffer[64 + 8];
  auto block = [&](uint32_t index) {
    int n = load_block(s, buffer, index);
    EXPECT_EQ(buffer[1], 3);
    EXPECT_EQ(buffer[2] << 8 | buffer[3], static_cast<int>((index + 1) & 0xFFFF));
    return n < 0 ? std::string("<end>") : std::string(reinterpret_cast<char*>(buffer + 4), static_cast<size_t>(n));
  };
  std::string got;
  for (uint32_t i = 0; i < 10; i++) got += block(i);
  EXPECT_EQ(got, translated.substr(0, 640));
  // Window retransmission: block 9 again, then 10 onwards.
  EXPECT_EQ(block(9), translated.substr(576, 64));
  EXPECT_EQ(block(10), translated.substr(640, 64));
  // Far back: found by translating from the start.
  EXPECT_EQ(block(2), translated.substr(128, 64));
  fclose(s->file);
  s->file = nullptr;
  free_session(s);
}

}  // namespace
