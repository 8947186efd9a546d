// Option negotiation, OACK bytes and the refusal order of requests.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "core/file_views.h"
#include "core/packets.h"
#include "core/request.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "core/wire_string.h"
#include "tests/unit/test_support.h"

namespace {

// A datagram of the opcode and the bytes after it.
std::string packet(int opcode, const std::string& rest) {
  return std::string{static_cast<char>(opcode >> 8), static_cast<char>(opcode)} + rest;
}

// A string with its zero byte.
std::string z(const std::string& s) { return s + '\0'; }

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_fresh_store();
    root = make_temp_dir();
    set_setting("RootDirectory", root);
    load_settings(SETTINGS_KEY);
    session = new_session();
  }
  void TearDown() override {
    release_file(session);
    free_session(session);
  }

  // The bytes in a heap block of exactly their size, so that AddressSanitizer
  // sees a read past the datagram's end.
  char* exact(const std::string& bytes) {
    buffer.reset(new char[bytes.size()]);
    memcpy(buffer.get(), bytes.data(), bytes.size());
    return buffer.get();
  }

  // Parses the options of an RRQ (or WRQ) and returns parse_options' result.
  int options(const std::string& pairs, int opcode = OPCODE_RRQ) {
    session->opcode = static_cast<uint16_t>(opcode);
    session->block_size = 512;
    session->timeout = Timeout;
    return parse_options(exact(pairs), static_cast<int>(pairs.size()), session);
  }

  // Each request gets a fresh record, as the server loop gives it.
  int request(const std::string& datagram) {
    release_file(session);
    free_session(session);
    session = new_session();
    return parse_request(exact(datagram), datagram.size(), session);
  }

  void write_file(const std::string& name, const std::string& content) {
    std::ofstream(root + name, std::ios::binary) << content;
  }

  std::string root;
  std::unique_ptr<char[]> buffer;
  tftp_session* session = nullptr;
};

std::string pair(const std::string& name, const std::string& value) { return name + '\0' + value + '\0'; }

TEST_F(OptionsTest, BlockSizeIsReadLikeADecimalAndKeptWithinDatagramLimits) {
  EXPECT_EQ(options(pair("BlkSize", " 1428abc")), REQUEST_ACCEPTED);
  EXPECT_EQ(session->block_size, 1428);
  EXPECT_EQ(session->option_flags, static_cast<uint32_t>(OPT_BLKSIZE));

  // The whole number is judged: anything above the largest block gets the
  // largest block, never its low 16 bits.
  for (const char* big : {"65465", "65500", "65535", "65536", "65543", "65544", "66048", "70000", "65536512",
                          "4294967295", "99999999999"}) {
    session->block_size = 512;
    EXPECT_EQ(options(pair("blksize", big)), REQUEST_ACCEPTED) << big;
    EXPECT_EQ(session->block_size, 65464) << big;
  }

  EXPECT_EQ(options(pair("blksize", "65464")), REQUEST_ACCEPTED);
  EXPECT_EQ(session->block_size, 65464);
  EXPECT_EQ(options(pair("blksize", "8")), REQUEST_ACCEPTED);
  EXPECT_EQ(session->block_size, 8);

  for (const char* bad : {"abc", "", "7", "0"}) {
    session->refusal_message = -1;
    EXPECT_EQ(options(pair("blksize", bad)), TFTP_ERROR_OPTION) << bad;
    EXPECT_EQ(session->refusal_message, MSG_BAD_BLKSIZE) << bad;
  }
}

TEST_F(OptionsTest, TimeoutAndTsizeRefusals) {
  EXPECT_EQ(options(pair("timeout", "255")), REQUEST_ACCEPTED);
  EXPECT_EQ(session->timeout, 255u);
  for (const char* bad : {"0", "256", "x", "4294967297"}) {
    EXPECT_EQ(options(pair("timeout", bad)), TFTP_ERROR_OPTION) << bad;
    EXPECT_EQ(session->refusal_message, MSG_BAD_TIMEOUT) << bad;
  }
  EXPECT_EQ(options(pair("tsize", "none")), TFTP_ERROR_OPTION);
  EXPECT_EQ(session->refusal_message, MSG_BAD_TSIZE);
  EXPECT_EQ(options(pair("tsize", "123456")), REQUEST_ACCEPTED);
  EXPECT_EQ(session->file_size.load(), 123456u);
}

TEST_F(OptionsTest, MulticastOnlyEmptyAndOnlyForReads) {
  EXPECT_EQ(options(pair("multicast", "")), REQUEST_ACCEPTED);
  EXPECT_TRUE(session->option_flags & OPT_MULTICAST);
  EXPECT_EQ(options(pair("multicast", ""), OPCODE_WRQ), TFTP_ERROR_OPTION);
  EXPECT_EQ(session->refusal_message, MSG_BAD_MULTICAST);
  EXPECT_EQ(options(pair("multicast", "1")), TFTP_ERROR_OPTION);
  EXPECT_EQ(session->refusal_message, MSG_BAD_MULTICAST);

  set_setting("Multicast", "0");
  load_settings(SETTINGS_KEY);
  session->option_flags = 0;
  EXPECT_EQ(options(pair("multicast", "1")), REQUEST_ACCEPTED) << "switched off: skipped, not refused";
  EXPECT_EQ(session->option_flags, 0u);
}

TEST_F(OptionsTest, SwitchedOffUnknownAndTruncatedOptionsAreSkipped) {
  set_setting("Options", "1");
  load_settings(SETTINGS_KEY);
  EXPECT_EQ(options(pair("tsize", "0") + pair("blksize", "1024") + pair("utimeout", "8")), REQUEST_ACCEPTED);
  EXPECT_EQ(session->option_flags, static_cast<uint32_t>(OPT_BLKSIZE));
  EXPECT_EQ(session->block_size, 1024);

  set_setting("Options", "0");
  set_setting("Multicast", "0");
  load_settings(SETTINGS_KEY);
  session->option_flags = 0;
  EXPECT_EQ(options(pair("tsize", "0") + pair("blksize", "x") + pair("timeout", "0") + pair("multicast", "")), REQUEST_ACCEPTED);
  EXPECT_EQ(session->option_flags, 0u);
  EXPECT_EQ(session->block_size, 512);

  set_setting("Options", "7");
  set_setting("Multicast", "1");
  load_settings(SETTINGS_KEY);
  session->option_flags = 0;
  // The datagram ends right after the name: "blksize" without a value.
  EXPECT_EQ(options(std::string("blksize") + '\0'), REQUEST_ACCEPTED);
  EXPECT_EQ(session->option_flags, 0u);
  // A later occurrence overwrites an earlier one.
  EXPECT_EQ(options(pair("blksize", "1024") + pair("BLKSIZE", "2048")), REQUEST_ACCEPTED);
  EXPECT_EQ(session->block_size, 2048);
}

TEST_F(OptionsTest, OackListsOptionsInFixedOrderInLowerCase) {
  session->option_flags = OPT_TSIZE | OPT_BLKSIZE | OPT_TIMEOUT;
  session->block_size = 1428;
  session->timeout = 3;
  session->file_size = 1048576;
  uint8_t out[OACK_BUFFER_SIZE];
  size_t n = build_oack(session, out);
  std::string expected = std::string("\0\6", 2) + pair("blksize", "1428") + pair("timeout", "3") +
                         pair("tsize", "1048576");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), expected);

  // The longest OACK fits the buffer.
  session->option_flags = OPT_BLKSIZE | OPT_TIMEOUT | OPT_TSIZE | OPT_MULTICAST;
  session->block_size = 65464;
  session->timeout = 255;
  session->file_size = 0xFFFFFFFFFFull;
  session->multicast_ip = 0xFFFFFFFFu;
  session->multicast_port = 65535;
  session->multicast_master = 1;
  n = build_oack(session, out);
  EXPECT_LE(n, sizeof out);
  EXPECT_NE(std::string(reinterpret_cast<char*>(out), n).find(pair("multicast", "255.255.255.255,65535,1")),
            std::string::npos);
}

TEST_F(OptionsTest, RefusalsComeInTheirOrder) {
  // Packet size and opcode first.
  EXPECT_EQ(request(std::string("\0\1", 2)), TFTP_ERROR_ILLEGAL);
  EXPECT_EQ(session->refusal_message, MSG_BAD_PACKET);
  EXPECT_EQ(request(packet(OPCODE_DATA, pair("a", "octet"))), TFTP_ERROR_ILLEGAL);
  EXPECT_EQ(session->refusal_message, MSG_BAD_PACKET);
  EXPECT_EQ(session->opcode, 0);

  // A bad name wins over a bad mode.
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("../x", "bogus"))), TFTP_ERROR_ILLEGAL);
  EXPECT_EQ(session->refusal_message, MSG_INVALID_PATH);
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("c:x", "octet"))), TFTP_ERROR_ILLEGAL);
  EXPECT_EQ(session->refusal_message, MSG_INVALID_PATH);

  // Then the mode (an unterminated one is checked with the other unterminated strings).
  for (const char* mode : {"MAIL", "binary", ""}) {
    EXPECT_EQ(request(packet(OPCODE_RRQ, pair("a", mode))), TFTP_ERROR_ILLEGAL) << mode;
    EXPECT_EQ(session->refusal_message, MSG_BAD_MODE) << mode;
  }
  // Then the options, before the file is looked at.
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("missing", "octet") + pair("blksize", "x"))), TFTP_ERROR_OPTION);
  EXPECT_EQ(session->refusal_message, MSG_BAD_BLKSIZE);
  // And the file last.
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("missing", "octet"))), TFTP_ERROR_NOT_FOUND);
  EXPECT_EQ(session->refusal_message, MSG_FILE_NOT_FOUND);
  EXPECT_EQ(std::string(session->path), root + "missing");
}

// Every string is read with the datagram's length: nothing after the last
// byte is looked at, also by the parsing trace of level 4.
TEST_F(OptionsTest, UnterminatedStringsAreReadWithinTheDatagram) {
  write_file("a", "abc");
  FILE* trace = tmpfile();
  ASSERT_NE(trace, nullptr);
  {
    std::lock_guard<std::mutex> hold(log_lock);
    log_stream = trace;
  }
  Log = 4;

  EXPECT_EQ(request(packet(OPCODE_RRQ, "a")), TFTP_ERROR_ILLEGAL) << "name without its zero byte";
  EXPECT_EQ(session->refusal_message, MSG_INVALID_PATH);
  EXPECT_EQ(request(packet(OPCODE_RRQ, z("a") + "oct")), TFTP_ERROR_ILLEGAL) << "mode without its zero byte";
  EXPECT_EQ(session->refusal_message, MSG_BAD_PACKET);
  EXPECT_EQ(request(packet(OPCODE_RRQ, z("a") + "octet")), TFTP_ERROR_ILLEGAL);
  EXPECT_EQ(session->refusal_message, MSG_BAD_PACKET);
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("a", "octet") + "blksize")), REQUEST_ACCEPTED)
      << "an option name at the very end is skipped";
  EXPECT_EQ(session->option_flags, 0u);
  EXPECT_EQ(session->block_size, 512);
  // A last value without its zero byte ends with the datagram.
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("a", "octet") + z("blksize") + "1024")), REQUEST_ACCEPTED);
  EXPECT_EQ(session->block_size, 1024);
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("a", "octet") + z("timeout") + "7")), REQUEST_ACCEPTED);
  EXPECT_EQ(session->timeout, 7u);
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("a", "octet") + z("tsize") + "x")), TFTP_ERROR_OPTION);
  EXPECT_EQ(session->refusal_message, MSG_BAD_TSIZE);
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("a", "octet") + z("multicast") + "1")), TFTP_ERROR_OPTION);
  EXPECT_EQ(session->refusal_message, MSG_BAD_MULTICAST);

  // parse_options on its own, at every cut of a complete pair.
  const std::string pairs = pair("blksize", "1024") + pair("timeout", "3");
  for (size_t cut = 1; cut <= pairs.size(); cut++) {
    session->option_flags = 0;
    EXPECT_EQ(options(pairs.substr(0, cut)), cut == 9 ? static_cast<int>(TFTP_ERROR_OPTION) : -1) << cut;  // "blksize\0" + "1": too small
  }

  {
    std::lock_guard<std::mutex> hold(log_lock);
    log_stream = nullptr;
  }
  Log = 1;
  rewind(trace);
  std::string text;
  char line[512];
  while (fgets(line, sizeof line, trace)) text += line;
  fclose(trace);
  EXPECT_NE(text.find(" TFTP len 1 file a\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" TFTP len 7, option blksize\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" TFTP len 4, optarg 1024\n"), std::string::npos) << text;
}

TEST(WireString, ReadsOnlyStringsEndingInsideTheDatagram) {
  const std::string bytes("ab\0\0cd", 6);
  std::unique_ptr<uint8_t[]> d(new uint8_t[bytes.size()]);
  memcpy(d.get(), bytes.data(), bytes.size());
  wire_string s{};
  size_t next = 99;
  ASSERT_EQ(read_wire_string(d.get(), 6, 0, &s, &next), 1);
  EXPECT_EQ(std::string(s.text, s.length), "ab");
  EXPECT_EQ(next, 3u);
  ASSERT_EQ(read_wire_string(d.get(), 6, 3, &s, &next), 1) << "an empty string";
  EXPECT_EQ(s.length, 0u);
  EXPECT_EQ(next, 4u);
  EXPECT_EQ(read_wire_string(d.get(), 6, 4, &s, &next), 0) << "no zero byte before the end";
  EXPECT_EQ(read_wire_string(d.get(), 6, 6, &s, &next), 0) << "at the end";
  EXPECT_EQ(read_wire_string(d.get(), 2, 0, &s, &next), 0) << "the zero byte lies past the length";
  EXPECT_EQ(next, 4u) << "a failed read leaves next alone";

  wire_string name{"BlkSize", 7};
  EXPECT_EQ(wire_string_is(&name, "blksize"), 1);
  name.length = 6;
  EXPECT_EQ(wire_string_is(&name, "blksize"), 0) << "a prefix is not the name";
  EXPECT_EQ(wire_string_is(&name, "blksiz"), 1);
  EXPECT_EQ(wire_string_is(&name, "blk"), 0);
}

// Names are held at their full length until resolving: the order of the
// refusals stays that of the name's content, whatever its length.
TEST_F(OptionsTest, LongNamesAreRefusedByContentThenByLength) {
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair(std::string(1400, 'x') + "..", "octet"))), TFTP_ERROR_ILLEGAL);
  EXPECT_EQ(session->refusal_message, MSG_INVALID_PATH);
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair(std::string(1500, 'x'), "octet"))), TFTP_ERROR_ILLEGAL);
  EXPECT_EQ(session->refusal_message, MSG_PATH_TOO_LONG);
  EXPECT_EQ(request(packet(OPCODE_RRQ, z(std::string(1533, 'x')))), TFTP_ERROR_ILLEGAL);
  EXPECT_EQ(session->refusal_message, MSG_PATH_TOO_LONG) << "the name is judged before the missing mode";
}

TEST_F(OptionsTest, UploadsSwitchedOffAreRefusedBeforeTheOpcodeIsKept) {
  set_setting("Upload", "0");
  load_settings(SETTINGS_KEY);
  EXPECT_EQ(request(packet(OPCODE_WRQ, pair("x", "octet"))), TFTP_ERROR_ILLEGAL);
  EXPECT_EQ(session->refusal_message, MSG_ILLEGAL_OPERATION);
  EXPECT_EQ(session->opcode, 0);
}

TEST_F(OptionsTest, AcceptedReadCarriesTheRealSize) {
  write_file("f.bin", std::string(1500, 'x'));
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("/f.bin", "Octet") + pair("tsize", "0"))), REQUEST_ACCEPTED);
  EXPECT_EQ(session->file_size.load(), 1500u);
  EXPECT_EQ(session->mode, MODE_OCTET);
  ASSERT_NE(session->file, nullptr);
  EXPECT_EQ(session->mapped, 0u) << "by default only multicast reads are mapped";
}

TEST_F(OptionsTest, OctetMulticastReadOpensAGroupNetasciiIsPlain) {
  write_file("f.bin", std::string(1500, 'x'));
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("f.bin", "octet") + pair("multicast", ""))), REQUEST_ACCEPTED);
  EXPECT_EQ(session->option_flags & OPT_MULTICAST, static_cast<uint32_t>(OPT_MULTICAST));
  EXPECT_EQ(session->multicast_master, 1u);
  EXPECT_EQ(session->multicast_port, 1758);
  EXPECT_EQ(session->mapped, 1u) << "default MMF maps multicast reads";
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("f.bin", "netascii") + pair("multicast", ""))), REQUEST_ACCEPTED);
  EXPECT_EQ(session->option_flags & OPT_MULTICAST, 0u);
  EXPECT_EQ(session->mapped, 0u);
}

TEST_F(OptionsTest, DirectoriesAndEmptyMappedFilesAreNotServed) {
  ASSERT_TRUE(std::filesystem::create_directory(root + "dir"));
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("dir", "octet"))), TFTP_ERROR_NOT_FOUND);
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("", "octet"))), TFTP_ERROR_NOT_FOUND) << "the root itself";
  write_file("empty", "");
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("empty", "octet") + pair("multicast", ""))), TFTP_ERROR_NOT_FOUND)
      << "an empty file cannot be mapped";
  EXPECT_EQ(request(packet(OPCODE_RRQ, pair("empty", "octet"))), REQUEST_ACCEPTED) << "but it can be streamed";
}

TEST_F(OptionsTest, UploadOverAnExistingFileNeedsTheOverwriteRight) {
  write_file("cfg", "old");
  set_setting("AccessControl", "1");
  set_access_rule("%root%\\0", "rw");
  load_settings(SETTINGS_KEY);
  EXPECT_EQ(request(packet(OPCODE_WRQ, pair("cfg", "octet"))), TFTP_ERROR_EXISTS);
  EXPECT_EQ(session->refusal_message, MSG_FILE_EXISTS);
  EXPECT_EQ(request(packet(OPCODE_WRQ, pair("new", "octet"))), REQUEST_ACCEPTED);
  release_file(session);

  set_access_rule("%root%\\0", "rwo");
  EXPECT_EQ(request(packet(OPCODE_WRQ, pair("cfg", "octet"))), REQUEST_ACCEPTED);
  release_file(session);
  set_setting("AccessControl", "0");
  load_settings(SETTINGS_KEY);
  EXPECT_EQ(request(packet(OPCODE_WRQ, pair("nodir/x", "octet"))), TFTP_ERROR_DISK_FULL);
  EXPECT_EQ(session->refusal_message, MSG_CREATE_FAILED);
}

}  // namespace
