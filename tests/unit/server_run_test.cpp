// The server loop run in this process without a console: lines go to the
// log file in the program's directory, with CR LF line ends.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/server_loop.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "platform/clock.h"
#include "platform/program_path.h"
#include "platform/udp_socket.h"
#include "tests/unit/test_support.h"

namespace {

time_t fixed_clock(time_t* out) {
  struct tm t {};
  t.tm_year = 2031 - 1900;
  t.tm_mon = 4;
  t.tm_mday = 5;
  t.tm_hour = 6;
  t.tm_isdst = -1;
  time_t now = mktime(&t);
  if (out) *out = now;
  return now;
}

// Receives one datagram within two seconds; returns its length or -1.
long receive(int s, uint8_t* buffer, size_t size, uint16_t* from_port, const ip_address& expected) {
  ip_address address{};
  if (wait_sockets_readable(&s, 1, monotonic_now_ms() + 2000) != 1) return -1;
  long n = take_datagram_from(s, buffer, size, &address, from_port);
  return n >= 0 && same_address(address, expected) ? n : -1;
}

void pause_a_little() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

TEST(ServerRun, ServesAFileAndLogsToTheFileWithoutAConsole) {
  use_fresh_store();
  std::string root = make_temp_dir();
  std::ofstream(root + "hello.txt") << "hello";
  int probe = loopback_udp_socket();
  uint16_t port = bound_port(probe);
  close_socket(probe);  // a free port, handed to the server
  set_setting("Port", std::to_string(port));
  set_setting("RootDirectory", root);
  set_setting("Log", "2");

  char directory[4096];
  ASSERT_GT(module_directory(directory, sizeof directory), 0u);
  std::string log_path = std::string(directory) + "tftp3105.log";
  std::remove(log_path.c_str());
  log_clock = fixed_clock;

  char name[] = "harrier";
  char* arguments[] = {name, nullptr};
  int loop_result = -1;
  std::thread loop([&] { loop_result = server_loop(1, arguments); });
  for (int i = 0; i < 200 && listen_socket == -1; i++) pause_a_little();
  ASSERT_NE(listen_socket.load(), -1);

  int client = loopback_udp_socket();
  const ip_address loopback = ipv4_address(network_address(0x7F000001u));
  const char rrq[] = "\0\1hello.txt\0octet";
  send_datagram_to(client, rrq, sizeof rrq, loopback, network_port(port));
  uint8_t packet[600];
  uint16_t from = 0;
  ASSERT_EQ(receive(client, packet, sizeof packet, &from, loopback), 9);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(packet), 9), std::string("\0\3\0\1hello", 9));
  EXPECT_NE(from, network_port(port)) << "data comes from a port of its own";
  const uint8_t ack[] = {0, 4, 0, 1};
  send_datagram_to(client, ack, sizeof ack, loopback, from);

  // The same port serves IPv6, from the address asked.
  ip_address loopback6{};
  ASSERT_EQ(parse_ip_address("::1", &loopback6), 1);
  int client6 = open_udp_socket(any_address(IP_V6), 0);
  // A host without IPv6 still serves IPv4; every Linux test host has ::1.
  const bool has_ipv6 = client6 != -1;
  if (has_ipv6) {
    send_datagram_to(client6, rrq, sizeof rrq, loopback6, network_port(port));
    ASSERT_EQ(receive(client6, packet, sizeof packet, &from, loopback6), 9);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(packet), 9), std::string("\0\3\0\1hello", 9));
    send_datagram_to(client6, ack, sizeof ack, loopback6, from);
    close_socket(client6);
  }

  // Wait for the worker to finish, then a refused request purges it.
  for (int i = 0; i < 200 && active_transfers > 0; i++) pause_a_little();
  const char bad[] = "\0\1../x\0octet";
  send_datagram_to(client, bad, sizeof bad, loopback, network_port(port));
  ASSERT_GT(receive(client, packet, sizeof packet, &from, loopback), 4);
  EXPECT_EQ(packet[1], 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(packet + 4)), "Invalid path");

  stop_server();
  loop.join();
  close_socket(client);
  log_clock = time;
  EXPECT_EQ(loop_result, 0);
  EXPECT_EQ(log_stream, nullptr) << "the file is closed at stop";

  std::ifstream in(log_path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string log = text.str();
  std::remove(log_path.c_str());
  EXPECT_EQ(log.rfind(in_text_mode("\n2031-05-05 06:00:00 Orvanel TFTP Server 1.4.5 log started\n"), 0), 0u) << log;
  EXPECT_NE(log.find(in_text_mode("2031-05-05 06:00:00 Ready on TFTP port " + std::to_string(port) + "\n")), std::string::npos);
  EXPECT_NE(log.find(in_text_mode("2031-05-05 06:00:00       0s 127.0.0.1       Get/octet  " + root + "hello.txt\n")),
            std::string::npos)
      << log;
  if (has_ipv6) {
    EXPECT_NE(log.find(in_text_mode("2031-05-05 06:00:00       0s ::1             Get/octet  " + root + "hello.txt\n")),
              std::string::npos)
        << log;
  }
  EXPECT_NE(log.find(in_text_mode("2031-05-05 06:00:00  Error   127.0.0.1       Get        4 Illegal TFTP operation \n")),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("\n\n"), std::string::npos) << "no bare line ends";
}

}  // namespace
