// Building requests and reading option acknowledgements.
#include "client/client_request.h"
#include "client/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct call_state {
  client_transfer transfer;
  client_settings settings;
};

call_state fresh(uint16_t operation) {
  call_state s{};
  reset_client(s.transfer, s.settings);
  s.transfer.operation = operation;
  std::snprintf(s.transfer.remote_name.data(), s.transfer.remote_name.size(), "dir/f.bin");
  return s;
}

std::string request(call_state& s, std::size_t size = 516) {
  std::array<uint8_t, 516> buffer{};
  std::size_t n = build_request(s.transfer, s.settings, buffer.data(), size);
  return std::string(reinterpret_cast<char*>(buffer.data()), n);
}

using namespace std::string_literals;

// Layout and order of requests are checked on the wire by the scripted suite.
TEST(BuildRequest, TooSmallBufferGivesNoRequest) {
  call_state s = fresh(OPERATION_GET);
  s.transfer.block_size = 1464;
  EXPECT_EQ(request(s, 20), "");
  EXPECT_EQ(request(s, 39).size(), 39u);  // exactly fits
  EXPECT_EQ(request(s, 38), "");
}

// The OACK's bytes in a heap block of exactly their size, so that
// AddressSanitizer sees a read past the datagram's end.
int oack(call_state& s, const std::string& options) {
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[options.size()]);
  std::memcpy(bytes.get(), options.data(), options.size());
  return parse_oack(bytes.get(), options.size(), s.transfer, s.settings);
}

call_state requested(uint32_t block_size, int32_t timeout) {
  call_state s = fresh(OPERATION_GET);
  s.transfer.block_size = block_size;
  s.transfer.timeout = timeout;
  s.transfer.requested_block_size = block_size;
  return s;
}

TEST(ParseOack, AcceptedOptionsAreTaken) {
  call_state s = requested(1464, 3);
  EXPECT_EQ(oack(s, "BlkSize\0001024\0tsize\0 5000\0timeout\0003\0x-ext\0val\0"s), OACK_USABLE);
  EXPECT_EQ(s.transfer.option_flags, OPT_BLKSIZE | OPT_TSIZE | OPT_TIMEOUT);
  EXPECT_EQ(s.transfer.block_size, 1024u);
  EXPECT_EQ(s.transfer.byte_count, 5000u);
  EXPECT_EQ(s.transfer.timeout, 3);
}

TEST(ParseOack, MissingOptionsFallBackToDefaults) {
  call_state s = requested(1464, 3);
  EXPECT_EQ(oack(s, "tsize\00012\0"s), OACK_USABLE);
  EXPECT_EQ(s.transfer.option_flags, OPT_TSIZE);
  EXPECT_EQ(s.transfer.block_size, 512u);
  EXPECT_EQ(s.transfer.timeout, 1);
  call_state empty = requested(1464, 3);
  EXPECT_EQ(oack(empty, ""), OACK_USABLE);
  EXPECT_EQ(empty.transfer.block_size, 512u);
  // A trailing fragment without its zero byte is no option.
  call_state tail = requested(1464, 1);
  EXPECT_EQ(oack(tail, "blksize\0001000\0junk"s), OACK_USABLE);
  EXPECT_EQ(tail.transfer.block_size, 1000u);
  for (std::string cut : {"blksize"s, "tsize"s, "x-ext\0val"s}) {
    call_state c = requested(1464, 1);
    EXPECT_EQ(oack(c, cut), OACK_USABLE) << cut;
    EXPECT_EQ(c.transfer.option_flags, 0u) << cut;
  }
}

TEST(ParseOack, UnusableValuesAreRefusedWithTheirText) {
  struct {
    std::string options;
    std::string_view text;
  } cases[] = {
      {"blksize\0abc\0"s, "Bad blksize option"},
      {"blksize\0001465\0"s, "Bad blksize option"},  // more than asked for
      {"blksize\0007\0"s, "Bad blksize option"},
      {"blksize\0001024"s, "Bad blksize option"},    // value not terminated
      {"tsize\00012"s, "Bad tsize option"},
      {"blksize\0"s, "Bad blksize option"},
      {"tsize\0none\0"s, "Bad tsize option"},
      {"tsize\00010\0timeout\0005\0"s, "Bad timeout option"},
  };
  for (const auto& c : cases) {
    call_state s = requested(1464, 3);
    EXPECT_EQ(oack(s, c.options), OACK_REFUSED) << c.options;
    EXPECT_EQ(oack_refusal_text(s.transfer.refused_message), c.text) << c.options;
  }
}

TEST(ParseOack, RefusalKeepsWhatWasReadBefore) {
  call_state s = requested(1464, 3);
  EXPECT_EQ(oack(s, "blksize\0001000\0timeout\0009\0tsize\0005\0"s), OACK_REFUSED);
  EXPECT_EQ(s.transfer.option_flags, OPT_BLKSIZE);
  EXPECT_EQ(s.transfer.block_size, 1000u);
  EXPECT_EQ(s.transfer.timeout, 3);
  EXPECT_EQ(s.transfer.byte_count, 0u);
}

TEST(ParseOack, MulticastOnlyWhenAskedAndWellFormed) {
  call_state s = requested(512, 1);
  s.settings.multicast = 1;
  EXPECT_EQ(oack(s, "multicast\000224.1.2.3,1758,1\0"s), OACK_USABLE);
  EXPECT_EQ(s.transfer.option_flags, OPT_MULTICAST);
  EXPECT_EQ(s.transfer.multicast_address, (std::array<uint8_t, 4>{224, 1, 2, 3}));
  EXPECT_EQ(s.transfer.multicast_port, 1758);
  EXPECT_EQ(s.transfer.multicast_master, 1u);

  for (std::string bad : {"224.1.2,1758,1"s, "224.1.2.3,1758"s, "224.1.2.300,1758,0"s,
                          "224.1.2.3,70000,0"s, ""s}) {
    call_state m = requested(512, 1);
    m.settings.multicast = 1;
    EXPECT_EQ(oack(m, "multicast\0"s + bad + "\0"s), OACK_REFUSED) << bad;
    EXPECT_EQ(oack_refusal_text(m.transfer.refused_message), "Bad multicast option");
  }
  call_state put = requested(512, 1);
  put.settings.multicast = 1;
  put.transfer.operation = OPERATION_PUT;
  EXPECT_EQ(oack(put, "multicast\000224.1.2.3,1758,1\0"s), OACK_REFUSED);
  // Not asked for: skipped like any unknown option.
  call_state off = requested(512, 1);
  EXPECT_EQ(oack(off, "multicast\0garbage\0"s), OACK_USABLE);
  EXPECT_EQ(off.transfer.option_flags, 0u);
}

}  // namespace

TEST(ParseOack, TsizeBeyond4GiBIsKeptWholeForTheProgram) {
  // 4 GiB + 7: tftp_tsize's 32 bits wrap, the program's size does not.
  call_state s = fresh(OPERATION_GET);
  EXPECT_EQ(oack(s, "tsize\0004294967303\0"s), OACK_USABLE);
  EXPECT_EQ(s.transfer.expected_size, 4294967303u);
  EXPECT_EQ(s.transfer.size_known, 1);
  EXPECT_EQ(s.transfer.byte_count, 7u);
  // A PUT's size is its local file's, not the server's echo of it.
  call_state put = fresh(OPERATION_PUT);
  EXPECT_EQ(oack(put, "tsize\000100\0"s), OACK_USABLE);
  EXPECT_EQ(put.transfer.size_known, 0);
}

TEST(NoteServerError, KeepsCodeAndTextWithinBounds) {
  auto note = [](const std::string& packet) {
    call_state s = fresh(OPERATION_GET);
    note_server_error(s.transfer, reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
    return s.transfer;
  };
  client_transfer t = note("\0\5\0\2Access denied\0"s);
  EXPECT_EQ(t.failure, CLIENT_FAILURE_SERVER_ERROR);
  EXPECT_EQ(t.error_code, 2);
  EXPECT_EQ(std::string(t.error_text.data(), t.error_length), "Access denied");
  // No terminating zero: the text ends with the datagram.
  t = note("\0\5\0\1File not found"s);
  EXPECT_EQ(std::string(t.error_text.data(), t.error_length), "File not found");
  // A long message is cut to the field; control bytes are kept for the
  // program to escape.
  t = note("\0\5\0\0"s + std::string(1000, 'x') + "\0"s);
  EXPECT_EQ(t.error_length, ERROR_TEXT_SIZE);
  t = note("\0\5\0\0a\x1b[2Jb\0"s);
  EXPECT_EQ(std::string(t.error_text.data(), t.error_length), "a\x1b[2Jb");
  // A header alone, a short packet and other opcodes.
  t = note("\0\5\0\3"s);
  EXPECT_EQ(t.failure, CLIENT_FAILURE_SERVER_ERROR);
  EXPECT_EQ(t.error_length, 0);
  EXPECT_EQ(note("\0\5\0"s).failure, CLIENT_FAILURE_NONE);
  EXPECT_EQ(note("\0\3\0\1data"s).failure, CLIENT_FAILURE_NONE);
}
