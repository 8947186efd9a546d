// The server loop run in this process without a console: lines go to the
// log file in the program's directory, with CR LF line ends.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/server_loop.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "platform/program_path.h"
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
ssize_t receive(int s, uint8_t* buffer, size_t size, sockaddr_in* from) {
  pollfd p{s, POLLIN, 0};
  if (poll(&p, 1, 2000) != 1) return -1;
  socklen_t length = sizeof *from;
  return recvfrom(s, buffer, size, 0, reinterpret_cast<sockaddr*>(from), &length);
}

TEST(ServerRun, ServesAFileAndLogsToTheFileWithoutAConsole) {
  use_fresh_store();
  std::string root = make_temp_dir();
  std::ofstream(root + "hello.txt") << "hello";
  int probe = loopback_udp_socket();
  sockaddr_in bound{};
  socklen_t bound_length = sizeof bound;
  getsockname(probe, reinterpret_cast<sockaddr*>(&bound), &bound_length);
  uint16_t port = ntohs(bound.sin_port);
  close(probe);  // a free port, handed to the server
  set_setting("Port", std::to_string(port));
  set_setting("RootDirectory", root);
  set_setting("Log", "2");

  char directory[4096];
  ASSERT_GT(module_directory(directory, sizeof directory), 0u);
  std::string log_path = std::string(directory) + "tftp3105.log";
  unlink(log_path.c_str());
  log_clock = fixed_clock;

  char name[] = "harrier";
  char* arguments[] = {name, nullptr};
  int loop_result = -1;
  std::thread loop([&] { loop_result = server_loop(1, arguments); });
  for (int i = 0; i < 200 && listen_socket == -1; i++) usleep(10000);
  ASSERT_NE(listen_socket.load(), -1);

  int client = loopback_udp_socket();
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(port);
  const char rrq[] = "\0\1hello.txt\0octet";
  sendto(client, rrq, sizeof rrq, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
  uint8_t packet[600];
  sockaddr_in from{};
  ASSERT_EQ(receive(client, packet, sizeof packet, &from), 9);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(packet), 9), std::string("\0\3\0\1hello", 9));
  EXPECT_NE(from.sin_port, server.sin_port) << "data comes from a port of its own";
  const uint8_t ack[] = {0, 4, 0, 1};
  sendto(client, ack, sizeof ack, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);

  // Wait for the worker to finish, then a refused request purges it.
  for (int i = 0; i < 200 && active_transfers > 0; i++) usleep(10000);
  const char bad[] = "\0\1../x\0octet";
  sendto(client, bad, sizeof bad, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
  ASSERT_GT(receive(client, packet, sizeof packet, &from), 4);
  EXPECT_EQ(packet[1], 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(packet + 4)), "Invalid path");

  stop_server();
  loop.join();
  close(client);
  log_clock = time;
  EXPECT_EQ(loop_result, 0);
  EXPECT_EQ(log_stream, nullptr) << "the file is closed at stop";

  std::ifstream in(log_path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string log = text.str();
  unlink(log_path.c_str());
  EXPECT_EQ(log.rfind("\r\n2031-05-05 06:00:00 Orvanel TFTP Server 1.4.5 log started\r\n", 0), 0u) << log;
  EXPECT_NE(log.find("2031-05-05 06:00:00 Ready on TFTP port " + std::to_string(port) + "\r\n"), std::string::npos);
  EXPECT_NE(log.find("2031-05-05 06:00:00       0s 127.0.0.1       Get/octet  " + root + "hello.txt\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("2031-05-05 06:00:00  Error   127.0.0.1       Get        4 Illegal TFTP operation \r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("\n\n"), std::string::npos) << "no bare line ends";
}

}  // namespace
