// Splitting and reading of pelican command lines.
#include "client/command_line.h"
#include "client/run_client.h"
#include "client/pelican.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const char* line) {
  argument_vector args{};
  split_command_line(line, args);
  return std::vector<std::string>(args.vector.begin(), args.vector.begin() + args.count);
}

struct parsed {
  int valid;
  client_transfer transfer;
  client_settings settings;
};

parsed parse(const char* line) {
  argument_vector args{};
  split_command_line(line, args);
  parsed p{};
  reset_client(p.transfer, p.settings);
  p.valid = parse_client_args(args.count, args.vector.data(), p.transfer, p.settings);
  return p;
}

using args = std::vector<std::string>;

TEST(SplitCommandLine, WhiteSpaceSeparatesAndQuotesGroup) {
  EXPECT_EQ(split(""), (args{"tftp"}));
  EXPECT_EQ(split(nullptr), (args{"tftp"}));
  EXPECT_EQ(split(" \t-o\vhost\f GET\r\nname "), (args{"tftp", "-o", "host", "GET", "name"}));
  EXPECT_EQ(split("h GET \"my file.bin\" x"), (args{"tftp", "h", "GET", "my file.bin", "x"}));
  // A closing quote ends the argument; the rest up to white space is dropped.
  EXPECT_EQ(split("ab\"cd ef\""), (args{"tftp", "ab", "ef"}));
  EXPECT_EQ(split("\"a b\"c d"), (args{"tftp", "a b", "d"}));
  // Right after an opening quote a blank or a quote begins the argument.
  EXPECT_EQ(split("\"\" x"), (args{"tftp", "", "x"}));
  EXPECT_EQ(split("\" lead\""), (args{"tftp", " lead"}));
  // An opening quote without a closing one runs to the end.
  EXPECT_EQ(split("a \"b c"), (args{"tftp", "a", "b c"}));
}

TEST(SplitCommandLine, OnlyThe255FirstCharactersAreRead) {
  std::string line = "h GET " + std::string(300, 'n');
  args got = split(line.c_str());
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[3], std::string(255 - 6, 'n'));
}

TEST(SplitCommandLine, The31stArgumentTakesTheRestUnchanged) {
  std::string line;
  for (int i = 1; i <= 35; i++) line += "w" + std::to_string(i) + (i == 33 ? "\"q\" " : " ");
  args got = split(line.c_str());
  ASSERT_EQ(got.size(), 32u);
  EXPECT_EQ(got[30], "w30");
  EXPECT_EQ(got[31], "w31 w32 w33\"q\" w34 w35 ");
}

TEST(ParseClientArgs, RequiresHostCommandAndRemoteName) {
  EXPECT_FALSE(parse("").valid);
  EXPECT_FALSE(parse("-o -s -b1468").valid);
  EXPECT_FALSE(parse("host").valid);
  EXPECT_FALSE(parse("host GET").valid);
  EXPECT_FALSE(parse("host FETCH x").valid);
  EXPECT_FALSE(parse("host GET remote local fifth").valid);
  parsed get = parse("host get remote");
  EXPECT_TRUE(get.valid);
  EXPECT_EQ(get.transfer.operation, OPERATION_GET);
  parsed put = parse("host Put remote local");
  EXPECT_TRUE(put.valid);
  EXPECT_EQ(put.transfer.operation, OPERATION_PUT);
  EXPECT_STREQ(put.transfer.remote_name.data(), "remote");
  EXPECT_STREQ(put.transfer.local_name.data(), "local");
}

TEST(ParseClientArgs, LocalNameIsTheLastComponentOfTheRemoteName) {
  EXPECT_STREQ(parse("h GET dir\\sub\\file.bin").transfer.local_name.data(), "file.bin");
  EXPECT_STREQ(parse("h GET dir/sub/file.bin").transfer.local_name.data(), "file.bin");
  EXPECT_STREQ(parse("h GET /tmp/x/target.txt").transfer.local_name.data(), "target.txt");
  EXPECT_STREQ(parse("h GET a/b\\c/d").transfer.local_name.data(), "d");
  EXPECT_STREQ(parse("h GET a\\b/c\\d").transfer.local_name.data(), "d");
  EXPECT_STREQ(parse("h GET plain").transfer.local_name.data(), "plain");
  EXPECT_STREQ(parse("h GET ..x").transfer.local_name.data(), "..x");
  EXPECT_STREQ(parse("h GET \"dir\\my file\"").transfer.local_name.data(), "my file");
  // The request still names the whole remote file.
  EXPECT_STREQ(parse("h GET a/b\\c/d").transfer.remote_name.data(), "a/b\\c/d");
  // A last component that names no file is no command line.
  for (const char* line : {"h GET dir/", "h GET dir\\", "h GET .", "h GET ..", "h GET a/..",
                           "h GET a\\.", "h GET /", "h GET \"\""}) {
    EXPECT_FALSE(parse(line).valid) << line;
  }
  // A local name given is taken as it is.
  EXPECT_STREQ(parse("h GET a/.. sub/local").transfer.local_name.data(), "sub/local");
}

TEST(ParseClientArgs, BlockSizeOptionIsAPacketSizeWithLimits) {
  struct {
    const char* option;
    uint32_t block_size;
  } cases[] = {{"-b1468", 1464}, {"-b512", 512},   {"-b", 512},       {"-bxyz", 512},
               {"-b513", 512},   {"-b516", 512},   {"-b517", 513},    {"-b65504", 65500},
               {"-b70000", 65500}, {"-b99999999999999", 65500}, {"-B1468", 512}};
  for (const auto& c : cases) {
    std::string line = std::string(c.option) + " h GET x";
    parsed p = parse(line.c_str());
    EXPECT_TRUE(p.valid) << c.option;
    EXPECT_EQ(p.transfer.block_size, c.block_size) << c.option;
  }
}

TEST(ParseClientArgs, FlagsAndCounts) {
  parsed p = parse("-a /o -m -s -r3 -t7 -oignored -X -Q5 - h GET x");
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.transfer.mode, MODE_NETASCII);
  EXPECT_EQ(p.settings.overwrite, 1);
  EXPECT_EQ(p.settings.multicast, 1);
  EXPECT_EQ(p.settings.tsize, 0);
  EXPECT_EQ(p.settings.retry_count, 3u);
  EXPECT_EQ(p.transfer.timeout, 7);
  parsed d = parse("h GET x");
  EXPECT_EQ(d.transfer.mode, MODE_OCTET);
  EXPECT_EQ(d.settings.overwrite, 0);
  EXPECT_EQ(d.settings.multicast, 0);
  EXPECT_EQ(d.settings.tsize, 1);
  EXPECT_EQ(d.settings.retry_count, 10u);
  EXPECT_EQ(d.transfer.timeout, 1);
  EXPECT_EQ(parse("-t99999999999 h GET x").transfer.timeout, INT32_MAX);
  // Options end at the first argument without a dash or slash.
  parsed late = parse("h -o GET x");
  EXPECT_FALSE(late.valid);
}

TEST(ParseClientArgs, PortSuffixAndIPv6HostsInBracketsOrWhole) {
  struct {
    const char* host;
    const char* name;
    uint16_t port;
  } cases[] = {{"srv:1234", "srv", 1234},
               {"srv:70000", "srv", 69},
               {"srv:x", "srv", 69},
               {"srv:", "srv", 69},
               {"srv:65535", "srv", 65535},
               {"srv:12ab", "srv", 12},
               {"\"srv: 99\"", "srv", 99},
               {"srv:99999999999999999999999", "srv", 69},
               {"srv", "srv", 69},
               {"127.0.0.1:5:6", "127.0.0.1", 5},
               {"[::1]:6969", "::1", 6969},
               {"[::1]", "::1", 69},
               {"[2001:db8::7]:x", "2001:db8::7", 69},
               {"[2001:db8::7]:", "2001:db8::7", 69},
               {"[fe80::1%2]:70", "fe80::1%2", 70},
               {"[host.example]:71", "host.example", 71},
               // A bare IPv6 address has no port: its last group is no port number.
               {"::1", "::1", 69},
               {"2001:db8::7", "2001:db8::7", 69},
               {"::ffff:10.0.0.1", "::ffff:10.0.0.1", 69},
               // No closing bracket, or not an address: the first colon ends the host.
               {"[::1:99", "[", 69},
               {"2001:db8::g:5", "2001", 69},
               {"host:5:6", "host", 5}};
  for (const auto& c : cases) {
    std::string line = std::string(c.host) + " GET x";
    parsed p = parse(line.c_str());
    EXPECT_TRUE(p.valid) << c.host;
    EXPECT_STREQ(p.settings.host_name.data(), c.name) << c.host;
    EXPECT_EQ(p.settings.server_port, c.port) << c.host;
  }
}

TEST(ParseDecimal, LeadingDigitsOnlySaturating) {
  EXPECT_EQ(parse_decimal("123abc"), 123u);
  EXPECT_EQ(parse_decimal(""), 0u);
  EXPECT_EQ(parse_decimal(" 5"), 0u);
  EXPECT_EQ(parse_decimal("4294967295"), 4294967295u);
  EXPECT_EQ(parse_decimal("4294967296"), 4294967295u);
}

// Drives whole calls up to the point where they stop without the network.
int call(const char* line) {
  argument_vector args{};
  split_command_line(line, args);
  return run_client(args.count, args.vector.data());
}

TEST(RunClient, MulticastWithPutAndBadLinesStopEarly) {
  EXPECT_EQ(call("-m 127.0.0.1 PUT x"), PELICAN_BAD_COMMAND_LINE);
  EXPECT_EQ(transfer_record.socket, -1);
  EXPECT_EQ(call(""), PELICAN_BAD_COMMAND_LINE);
  EXPECT_EQ(call("-o -s"), PELICAN_BAD_COMMAND_LINE);
}

TEST(RunClient, EveryCallStartsFromTheDefaults) {
  ASSERT_EQ(call("-m -o -s -a -r3 -t5 -b1468 other:99 PUT x"), PELICAN_BAD_COMMAND_LINE);
  EXPECT_EQ(settings_record.multicast, 1);
  EXPECT_EQ(settings_record.server_port, 99);
  ASSERT_EQ(call("h GET"), PELICAN_BAD_COMMAND_LINE);
  EXPECT_EQ(settings_record.multicast, 0);
  EXPECT_EQ(settings_record.overwrite, 0);
  EXPECT_EQ(settings_record.tsize, 1);
  EXPECT_EQ(settings_record.retry_count, 10u);
  EXPECT_EQ(settings_record.server_port, 69);
  EXPECT_STREQ(settings_record.host_name.data(), "h");
  EXPECT_EQ(transfer_record.mode, MODE_OCTET);
  EXPECT_EQ(transfer_record.timeout, 1);
  EXPECT_EQ(transfer_record.block_size, 512u);
}

}  // namespace
