// The fixed 484-byte record the control channel sends.
#include <gtest/gtest.h>

#include <cstring>

#include "core/packets.h"
#include "core/session.h"
#include "platform/udp_socket.h"
#include "tests/unit/test_support.h"

namespace {

uint32_t u32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

TEST(SessionRecord, FieldsStandAtTheirOffsets) {
  tftp_session* s = new_session();
  s->opcode = 2;
  s->block = 0x01020304;
  s->mode = 3;
  s->option_flags = 5;
  s->block_size = 1428;
  s->file_size = 0x1234567890ull;  // the record carries the low 32 bits
  s->timeout = 6;
  s->data_socket = 7;
  s->result = RESULT_RUNNING;
  s->mapped = 1;
  s->client_address = ipv4_address(ipv4("192.168.1.10"));
  s->multicast_ip = ipv4("224.0.0.1");
  s->client_port = network_port(40000);
  s->multicast_port = 1758;
  s->multicast_master = 1;
  s->thread = 42;
  s->seek_block = 9;
  s->data_len = 512;
  uint8_t buffer[16];
  s->packet = buffer;
  s->next_data_len = -1;
  strcpy(s->path, "/srv/tftp/boot.img");
  strcpy(s->error_text, "0 cancelled");

  uint8_t out[SESSION_RECORD_SIZE + 1];
  out[SESSION_RECORD_SIZE] = 0xEE;
  write_session_record(s, out);
  EXPECT_EQ(out[SESSION_RECORD_SIZE], 0xEE) << "writes exactly 484 bytes";

  EXPECT_EQ(u16(out + 0), 2);
  EXPECT_EQ(u16(out + 2), 0) << "padding";
  EXPECT_EQ(u32(out + 4), 0x01020304u);
  EXPECT_EQ(u32(out + 8), 3u);
  EXPECT_EQ(u32(out + 12), 5u);
  EXPECT_EQ(u16(out + 16), 1428);
  EXPECT_EQ(u16(out + 18), 0) << "padding";
  EXPECT_EQ(u32(out + 20), 0x34567890u);
  EXPECT_EQ(u32(out + 24), 6u);
  EXPECT_EQ(u32(out + 28), 7u);
  EXPECT_EQ(u32(out + 32), 0xFFFFFFFFu);
  EXPECT_EQ(u32(out + 36), 1u);
  EXPECT_EQ(u32(out + 40), 0u) << "no mapping";
  EXPECT_EQ(u32(out + 44), 0u) << "no view";
  EXPECT_EQ(u32(out + 48), 0u) << "no stream";
  EXPECT_EQ(0, memcmp(out + 52, "\xC0\xA8\x01\x0A", 4)) << "network order";
  EXPECT_EQ(0, memcmp(out + 56, "\xE0\x00\x00\x01", 4));
  EXPECT_EQ(0, memcmp(out + 60, "\x9C\x40", 2)) << "client port in network order";
  EXPECT_EQ(u16(out + 62), 1758) << "group port in host order";
  EXPECT_EQ(u32(out + 64), 1u);
  EXPECT_NE(u32(out + 68), 0u) << "a running worker is present";
  EXPECT_NE(u32(out + 68), 0xFFFFFFFFu);
  EXPECT_EQ(u32(out + 72), 9u);
  EXPECT_EQ(u32(out + 76), 512u);
  EXPECT_NE(u32(out + 80), 0u) << "packet present";
  EXPECT_EQ(u32(out + 84), 0xFFFFFFFFu);
  EXPECT_EQ(u32(out + 88), 0u) << "no second packet";
  EXPECT_STREQ(reinterpret_cast<char*>(out + 92), "/srv/tftp/boot.img");
  EXPECT_STREQ(reinterpret_cast<char*>(out + 352), "0 cancelled");
  EXPECT_EQ(u32(out + 480), 0u) << "last in the list";

  s->thread = -1;
  tftp_session other{};
  s->next = &other;
  write_session_record(s, out);
  EXPECT_EQ(u32(out + 68), 0xFFFFFFFFu) << "ended worker";
  EXPECT_NE(u32(out + 480), 0u);
  // A refused request shows its message index where the result stands.
  s->refusal_message = MSG_ACCESS_DENIED;
  write_session_record(s, out);
  EXPECT_EQ(u32(out + 32), static_cast<uint32_t>(MSG_ACCESS_DENIED));
  s->packet = nullptr;
  s->next = nullptr;
  free_session(s);
}

}  // namespace
