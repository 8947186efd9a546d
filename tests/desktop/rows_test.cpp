// The rows of the transfer list and the status texts, computed without a window.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "desktop/transfer_rows.h"
#include "desktop/ui_strings.h"

namespace {

session_row_source source(uint16_t opcode, uint32_t block, uint16_t block_size, uint64_t file_size, int32_t result) {
  session_row_source s{};
  s.key = 0x1234;
  s.opcode = opcode;
  s.block = block;
  s.mode = 3;
  s.block_size = block_size;
  s.file_size = file_size;
  s.result = result;
  s.client_address = ipv4_address(0x0A01A8C0);  // 192.168.1.10 in network order
  snprintf(s.path, sizeof s.path, "/srv/tftp/boot/x.img");
  return s;
}

transfer_row row_of(const session_row_source& s, int percent = 1, size_t root_length = 10) {
  transfer_row r;
  compute_transfer_row(&s, root_length, percent, &r);
  return r;
}

TEST(TransferRows, ByteCountIsCappedAtTheFileSize) {
  // Two blocks of 512 of a 700-byte file: 700 b, 100 %, the check mark.
  transfer_row r = row_of(source(1, 2, 512, 700, 0), 0);
  EXPECT_STREQ(r.status, "700 b");
  EXPECT_EQ(r.image, IMAGE_COMPLETE);
  r = row_of(source(1, 2, 512, 700, -1), 1);
  EXPECT_STREQ(r.status, "100 %");
  EXPECT_EQ(r.image, IMAGE_COMPLETE);  // every block sent, the last ACK still awaited
}

TEST(TransferRows, ProgressStepsGrowByOneFifteenth) {
  // 1500 blocks of 1 byte: step k at 100 k bytes.
  for (uint32_t k = 0; k <= 15; k++) {
    transfer_row r = row_of(source(1, 100 * k, 1, 1500, -1));
    EXPECT_EQ(r.image, static_cast<int>(k)) << k;
    r = row_of(source(1, 100 * k + 99, 1, 1500, -1));
    EXPECT_EQ(r.image, k < 15 ? static_cast<int>(k) : IMAGE_COMPLETE) << k;
  }
  EXPECT_STREQ(row_of(source(1, 0, 512, 1000, -1)).status, "0 %");
  EXPECT_STREQ(row_of(source(1, 1, 512, 1000, -1)).status, "51 %");  // rounded down
}

TEST(TransferRows, FailedResultsShowTheRedCrossWhateverTheProgress) {
  for (int32_t result : {RESULT_TIMEOUT, RESULT_ABORTED, RESULT_FAILED}) {
    EXPECT_EQ(row_of(source(1, 1, 512, 100000, result)).image, IMAGE_FAILED);
    EXPECT_EQ(row_of(source(1, 400, 512, 100000, result)).image, IMAGE_FAILED);  // all sent, still failed
    EXPECT_EQ(row_of(source(2, 3, 512, 0, result)).image, IMAGE_FAILED);
  }
  EXPECT_EQ(row_of(source(1, 1, 512, 100000, RESULT_OK)).image, 0);
}

TEST(TransferRows, UnknownSizeShowsBytesBlankWhileRunningAndTheCheckMarkAtTheEnd) {
  transfer_row r = row_of(source(2, 3, 512, 0, -1), 1);
  EXPECT_STREQ(r.status, "1536 b");  // percent asked, but no size to take it of
  EXPECT_EQ(r.image, IMAGE_BLANK);
  r = row_of(source(2, 3, 512, 0, RESULT_OK), 1);
  EXPECT_EQ(r.image, IMAGE_COMPLETE);
  EXPECT_STREQ(r.operation, "Put/octet");
}

TEST(TransferRows, NoOverflowNearAndPast4GiB) {
  const uint64_t size = 0xFFFFF000ull;  // just below 4 GiB
  // 65464-byte blocks: the product passes 32 bits long before the end.
  transfer_row r = row_of(source(1, 40000, 65464, size, -1), 1);
  uint64_t bytes = 40000ull * 65464;
  char expected[32];
  snprintf(expected, sizeof expected, "%llu %%", static_cast<unsigned long long>(bytes * 100 / size));
  EXPECT_STREQ(r.status, expected);
  EXPECT_EQ(r.image, static_cast<int>(bytes * 15 / size));
  r = row_of(source(1, 40000, 65464, size, -1), 0);
  snprintf(expected, sizeof expected, "%llu b", static_cast<unsigned long long>(bytes));
  EXPECT_STREQ(r.status, expected);
  // A 6 GiB file near its end, and one complete.
  const uint64_t big = 6ull << 30;
  r = row_of(source(1, 98000, 65464, big, -1), 1);
  EXPECT_STREQ(r.status, "99 %");
  EXPECT_EQ(r.image, 14);
  r = row_of(source(1, 98413, 65464, big, 0), 0);
  snprintf(expected, sizeof expected, "%llu b", static_cast<unsigned long long>(big));
  EXPECT_STREQ(r.status, expected);
  EXPECT_EQ(r.image, IMAGE_COMPLETE);
}

TEST(TransferRows, AddressOperationAndPathBelowTheRoot) {
  transfer_row r = row_of(source(1, 0, 512, 10, -1));
  EXPECT_STREQ(r.address, "192.168.1.10");
  session_row_source v6 = source(1, 0, 512, 10, -1);
  ASSERT_TRUE(parse_ip_address("2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff", &v6.client_address));
  EXPECT_STREQ(row_of(v6).address, "2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff");
  EXPECT_STREQ(r.operation, "Get/octet");
  EXPECT_STREQ(r.file, "boot/x.img");
  EXPECT_EQ(r.key, 0x1234u);
  session_row_source s = source(0, 0, 512, 10, 0);
  s.mode = 2;
  EXPECT_STREQ(row_of(s).operation, "ascii");
  s.mode = 1;
  s.opcode = 2;
  EXPECT_STREQ(row_of(s).operation, "Put/mail ");
  s.mode = 77;  // never read past the table
  EXPECT_STREQ(row_of(s).operation, "Put/");
  // A root that grew longer than the path since the session began.
  EXPECT_STREQ(row_of(source(1, 0, 512, 10, -1), 1, 500).file, "");
}

TEST(TransferRows, ControlBytesOfTheFileNameAreSpeltOut) {
  session_row_source s = source(1, 0, 512, 10, -1);
  snprintf(s.path, sizeof s.path, "/srv/tftp/a\x1b[2Jb\r\nc\x7f\\d\xc3\xa9");
  EXPECT_STREQ(row_of(s).file, "a\\x1b[2Jb\\x0d\\x0ac\\x7f\\d\xc3\xa9");
  // The root is skipped by its raw length, before the escaping.
  EXPECT_STREQ(row_of(s, 1, 11).file, "\\x1b[2Jb\\x0d\\x0ac\\x7f\\d\xc3\xa9");
  // The longest path made of control bytes only: every one fits, escaped.
  memset(s.path, 1, sizeof s.path - 1);
  s.path[sizeof s.path - 1] = 0;
  std::string expected;
  for (size_t i = 0; i < sizeof s.path - 1; i++) expected += "\\x01";
  EXPECT_EQ(std::string(row_of(s, 1, 0).file), expected);
}

TEST(StatusTexts, ListeningPausedAndFailed) {
  char text[64];
  format_state_text(69, 0, 0, text, sizeof text);
  EXPECT_STREQ(text, " Listening on Port 69");
  format_state_text(6969, 1, 0, text, sizeof text);
  EXPECT_STREQ(text, " Server paused");
  format_state_text(69, 0, 1, text, sizeof text);
  EXPECT_STREQ(text, " Failed to listen on Port 69");
  format_state_text(69, 1, 1, text, sizeof text);  // a failure shows even when paused
  EXPECT_STREQ(text, " Failed to listen on Port 69");
  format_clients_text(0, text, sizeof text);
  EXPECT_STREQ(text, " Active Clients: 0");
  format_clients_text(11, text, sizeof text);
  EXPECT_STREQ(text, " Active Clients: 11");
}

TEST(UiStrings, ModuleTextsWinAndFallBack) {
  char text[64];
  module_ui_strings = {{26, " Horche auf Port %u"}, {28, ""}, {25, " Clients: %s %n"}, {27, "%u %u"}};
  format_state_text(69, 0, 0, text, sizeof text);
  EXPECT_STREQ(text, " Horche auf Port 69");
  format_state_text(69, 1, 0, text, sizeof text);  // an empty text falls back
  EXPECT_STREQ(text, " Server paused");
  format_clients_text(3, text, sizeof text);  // not a safe format: the program's own
  EXPECT_STREQ(text, " Active Clients: 3");
  format_state_text(69, 0, 1, text, sizeof text);
  EXPECT_STREQ(text, " Failed to listen on Port 69");
  module_ui_strings.clear();
  EXPECT_STREQ(load_ui_string(10, text, sizeof text), "Failed to create dialog");
  EXPECT_STREQ(load_ui_string(999, text, sizeof text), "");
  EXPECT_STREQ(load_ui_string(4, text, 8), "Please ");
  EXPECT_TRUE(is_number_format("%u %% done"));
  EXPECT_FALSE(is_number_format("%u%u"));
  EXPECT_FALSE(is_number_format("no number"));
  EXPECT_FALSE(is_number_format("%"));
}

}  // namespace
