// The platform facilities the client library stands on, as both backends
// must provide them: taking datagrams without a wait, waiting on two
// sockets with a deadline, host names, and the local files.
#include "platform/clock.h"
#include "platform/host_lookup.h"
#include "platform/plain_file.h"
#include "platform/udp_socket.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

const ip_address LOOPBACK = ipv4_address(network_address(0x7F000001));

struct socket_pair {
  int a = -1;
  int b = -1;
  ~socket_pair() {
    close_socket(a);
    close_socket(b);
  }
};

// Two sockets on loopback; b is connected to a.
void open_pair(socket_pair& pair) {
  ASSERT_EQ(net_startup(), 1);
  pair.a = open_udp_socket(LOOPBACK, 0);
  pair.b = open_udp_socket(LOOPBACK, 0);
  ASSERT_GE(pair.a, 0);
  ASSERT_GE(pair.b, 0);
  ASSERT_EQ(connect_socket(pair.b, LOOPBACK, network_port(bound_port(pair.a))), 1);
}

// Waits (bounded) until the datagram sent has arrived.
void await(int socket) { ASSERT_EQ(wait_sockets_readable(&socket, 1, monotonic_now_ms() + 5000), 1); }

TEST(ClientPlatform, TakeNeverWaitsAndCutsALongDatagramToTheBuffer) {
  socket_pair pair;
  open_pair(pair);
  std::array<uint8_t, 8> buffer{};
  int64_t before = monotonic_now_ms();
  EXPECT_EQ(take_datagram(pair.a, buffer.data(), buffer.size()), SOCKET_TIMEOUT);
  EXPECT_LT(monotonic_now_ms() - before, 500);

  const char text[] = "0123456789abcdef";
  ASSERT_EQ(send_datagram(pair.b, text, 16), 16);
  await(pair.a);
  ASSERT_EQ(take_datagram(pair.a, buffer.data(), buffer.size()), 8);
  EXPECT_EQ(std::memcmp(buffer.data(), text, 8), 0);
  // The cut-off rest is gone, not a datagram of its own.
  EXPECT_EQ(take_datagram(pair.a, buffer.data(), buffer.size()), SOCKET_TIMEOUT);

  ASSERT_EQ(send_datagram(pair.b, text, 3), 3);
  await(pair.a);
  EXPECT_EQ(take_datagram(pair.a, buffer.data(), buffer.size()), 3);
}

TEST(ClientPlatform, TakeFromTellsTheSender) {
  socket_pair pair;
  open_pair(pair);
  ASSERT_EQ(send_datagram(pair.b, "abcd", 4), 4);
  await(pair.a);
  std::array<uint8_t, 16> buffer{};
  ip_address address{};
  uint16_t port = 0;
  ASSERT_EQ(take_datagram_from(pair.a, buffer.data(), buffer.size(), &address, &port), 4);
  EXPECT_TRUE(same_address(address, LOOPBACK));
  EXPECT_EQ(host_port(port), bound_port(pair.b));
  EXPECT_EQ(take_datagram_from(pair.a, buffer.data(), buffer.size(), &address, &port), SOCKET_TIMEOUT);
}

TEST(ClientPlatform, WaitTellsWhichSocketIsReadyAndKeepsItsDeadline) {
  socket_pair pair;
  open_pair(pair);
  int other = open_udp_socket(LOOPBACK, 0);
  ASSERT_GE(other, 0);
  const std::array<int, 2> sockets = {other, pair.a};

  int64_t start = monotonic_now_ms();
  EXPECT_EQ(wait_sockets_readable(sockets.data(), 2, start + 300), 0);
  int64_t waited = monotonic_now_ms() - start;
  EXPECT_GE(waited, 290);
  EXPECT_LT(waited, 3000);
  // A deadline already passed: no wait at all.
  start = monotonic_now_ms();
  EXPECT_EQ(wait_sockets_readable(sockets.data(), 2, start - 1000), 0);
  EXPECT_LT(monotonic_now_ms() - start, 500);

  ASSERT_EQ(send_datagram(pair.b, "x", 1), 1);
  EXPECT_EQ(wait_sockets_readable(sockets.data(), 2, monotonic_now_ms() + 5000), 2);
  ASSERT_EQ(send_datagram_to(pair.a, "y", 1, LOOPBACK, network_port(bound_port(other))), 1);
  // Both ready now: the datagram on pair.a has not been taken.
  int64_t deadline = monotonic_now_ms() + 5000;
  int mask = 0;
  while (mask != 3 && monotonic_now_ms() < deadline) mask = wait_sockets_readable(sockets.data(), 2, deadline);
  EXPECT_EQ(mask, 3);
  close_socket(other);
}

TEST(ClientPlatform, HostLookup) {
  ip_address address{};
  ASSERT_EQ(lookup_host("127.0.0.1", &address), 1);
  EXPECT_TRUE(same_address(address, LOOPBACK));
  ASSERT_EQ(lookup_host("10.1.2.3", &address), 1);
  EXPECT_EQ(ipv4_value(address), network_address(0x0A010203));
  ASSERT_EQ(lookup_host("::1", &address), 1);
  EXPECT_EQ(address.family, IP_V6);
  // A 70-character label cannot go into a DNS query: no lookup leaves the
  // machine.
  std::string unresolvable = std::string(70, 'x') + ".invalid";
  address = ipv4_address(12345);
  EXPECT_EQ(lookup_host(unresolvable.c_str(), &address), 0);
  EXPECT_EQ(ipv4_value(address), 12345u);
}

// Text forms in and out: RFC 5952 output, every RFC 4291 input form, and
// what is no address.
TEST(ClientPlatform, AddressTexts) {
  const std::pair<const char*, const char*> forms[] = {
      {"::1", "::1"},
      {"::", "::"},
      {"2001:DB8:0:0:0:0:2:1", "2001:db8::2:1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},            // the longer run
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},      // the first of equal runs
      {"fe80::1%3", "fe80::1%3"},
      {"1::", "1::"},
      {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},             // never "::" for one group
      {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
      {"::ffff:192.0.2.1", "192.0.2.1"},                  // a mapped address is its IPv4 one
      {"192.168.1.20", "192.168.1.20"},
  };
  char text[IP_TEXT_SIZE];
  for (const auto& [in, out] : forms) {
    ip_address a{};
    ASSERT_EQ(parse_ip_address(in, &a), 1) << in;
    ip_address shown = a.family == IP_V6 ? ipv6_address(a.bytes, a.scope) : a;
    EXPECT_STREQ(format_ip_address(shown, text), out) << in;
    ip_address again{};
    ASSERT_EQ(parse_ip_address(text, &again), 1) << text;
    EXPECT_TRUE(same_address(again, shown)) << text;
  }
  for (const char* bad : {"", ":", ":::", "1:2:3:4:5:6:7:8:9", "1::2::3", "12345::", "1:2", "::1%", "::1%x",
                          "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", "::1.2.3.256", "g::1", "1:2:3:4:5:6:7::8:9"})
  {
    ip_address a{};
    EXPECT_EQ(parse_ip_address(bad, &a), 0) << bad;
  }
  ip_address v6{};
  ASSERT_EQ(parse_ip_address("2001:db8::7", &v6), 1);
  EXPECT_STREQ(address_file_name(v6, text), "2001-db8--7");
}

class PlainFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("pelican_plain_" + std::to_string(monotonic_now_ms()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
    path = (dir / "file.bin").string();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  std::filesystem::path dir;
  std::string path;
};

TEST_F(PlainFile, CreateTellsAnExistingNameAndReplaceEmptiesIt) {
  int exists = 7;
  int fd = create_plain_file(path.c_str(), 0, &exists);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(exists, 0);
  ASSERT_EQ(write_plain_file(fd, "hello\n", 6), 6);
  EXPECT_EQ(plain_file_size(fd), 6);
  ASSERT_EQ(close_plain_file(fd), 1);

  EXPECT_EQ(create_plain_file(path.c_str(), 0, &exists), -1);
  EXPECT_EQ(exists, 1);
  EXPECT_EQ(std::filesystem::file_size(path), 6u);

  fd = create_plain_file(path.c_str(), 1, &exists);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(plain_file_size(fd), 0);
  close_plain_file(fd);

  // A missing directory is a failure, not an existing name.
  std::string deep = (dir / "none" / "file.bin").string();
  EXPECT_EQ(create_plain_file(deep.c_str(), 0, &exists), -1);
  EXPECT_EQ(exists, 0);
}

TEST_F(PlainFile, BytesComeBackUnchangedAndSeekMovesTheReader) {
  // Line ends and 0x1A pass unchanged: the files are binary on every system.
  const unsigned char data[] = {'a', '\r', '\n', 'b', '\n', 0x1A, 0, 'c'};
  int exists = 0;
  int fd = create_plain_file(path.c_str(), 0, &exists);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write_plain_file(fd, data, sizeof data), static_cast<long>(sizeof data));
  ASSERT_EQ(seek_plain_file(fd, 20), 1);
  ASSERT_EQ(write_plain_file(fd, "z", 1), 1);
  ASSERT_EQ(close_plain_file(fd), 1);

  fd = open_plain_file(path.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(plain_file_size(fd), 21);
  std::array<unsigned char, 32> back{};
  ASSERT_EQ(read_plain_file(fd, back.data(), back.size()), 21);
  EXPECT_EQ(std::memcmp(back.data(), data, sizeof data), 0);
  EXPECT_EQ(back[12], 0);  // the gap a seek past the end leaves
  EXPECT_EQ(back[20], 'z');
  EXPECT_EQ(read_plain_file(fd, back.data(), back.size()), 0);
  ASSERT_EQ(seek_plain_file(fd, 3), 1);
  ASSERT_EQ(read_plain_file(fd, back.data(), 2), 2);
  EXPECT_EQ(back[0], 'b');
  EXPECT_EQ(back[1], '\n');
  close_plain_file(fd);

  EXPECT_EQ(remove_plain_file(path.c_str()), 1);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(remove_plain_file(path.c_str()), 0);
  EXPECT_EQ(open_plain_file(path.c_str()), -1);
}

TEST_F(PlainFile, TemporaryFileTakesTheNameOnlyByRename) {
  EXPECT_EQ(plain_path_kind(path.c_str()), PLAIN_PATH_ABSENT);
  EXPECT_EQ(plain_path_kind(dir.string().c_str()), PLAIN_PATH_OTHER);
  std::array<char, 400> first{};
  std::array<char, 400> second{};
  int a = create_temporary_plain_file(path.c_str(), first.data(), first.size());
  int b = create_temporary_plain_file(path.c_str(), second.data(), second.size());
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_STRNE(first.data(), second.data());
  EXPECT_EQ(std::filesystem::path(first.data()).parent_path(), dir);
  EXPECT_EQ(plain_path_kind(path.c_str()), PLAIN_PATH_ABSENT) << "the target is not made early";
  ASSERT_EQ(write_plain_file(a, "one", 3), 3);
  ASSERT_EQ(write_plain_file(b, "two", 3), 3);
  EXPECT_EQ(set_new_file_mode(a), 1);
  close_plain_file(a);
  close_plain_file(b);

  EXPECT_EQ(rename_plain_file(first.data(), path.c_str(), 0), PLAIN_RENAME_DONE);
  EXPECT_EQ(plain_path_kind(path.c_str()), PLAIN_PATH_FILE);
  // Without replace an existing name stays; with it, it is replaced.
  EXPECT_EQ(rename_plain_file(second.data(), path.c_str(), 0), PLAIN_RENAME_EXISTS);
  EXPECT_EQ(std::filesystem::file_size(second.data()), 3u);
  EXPECT_EQ(rename_plain_file(second.data(), path.c_str(), 1), PLAIN_RENAME_DONE);
  EXPECT_FALSE(std::filesystem::exists(second.data()));
  int fd = open_plain_file(path.c_str());
  std::array<char, 8> back{};
  EXPECT_EQ(read_plain_file(fd, back.data(), back.size()), 3);
  EXPECT_EQ(std::string(back.data(), 3), "two");
  close_plain_file(fd);
  EXPECT_EQ(rename_plain_file(first.data(), path.c_str(), 1), PLAIN_RENAME_FAILED);

  std::string missing = (dir / "none" / "file.bin").string();
  EXPECT_EQ(create_temporary_plain_file(missing.c_str(), first.data(), first.size()), -1);
  EXPECT_EQ(create_temporary_plain_file(path.c_str(), first.data(), 8), -1) << "name too long for its room";
}

TEST_F(PlainFile, ADirectoryIsNoFileToRead) {
  EXPECT_EQ(open_plain_file(dir.string().c_str()), -1);
}

}  // namespace
