// Group placement and the passing of the master role, on a session list
// built by hand (no transfer loop).
#include <gtest/gtest.h>


#include <cstring>
#include <vector>

#include "core/multicast.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/clock.h"
#include "core/read_transfer.h"
#include "platform/udp_socket.h"
#include "tests/unit/test_support.h"

namespace {

// Files are told apart by identity: these stand for distinct inodes.
enum { BOOT = 1, OTHER = 2, THIRD = 3, A = 11, B = 12, C = 13, D = 14, E = 15 };

class Groups : public ::testing::Test {
 protected:
  void SetUp() override {
    MulticastPort = 1758;
    MulticastLast = 65535;
    MulticastIp = ipv4("224.0.0.1");
  }

  void TearDown() override {
    for (tftp_session* s : made_)
      if (s->group) leave_multicast_group(s);
    session_list = nullptr;
    for (tftp_session* s : made_) free_session(s);
    EXPECT_EQ(multicast_group_count(), 0) << "a group outlived its sessions";
  }

  // A multicast read of the file with that inode, placed and listed as the
  // server loop does (newest first).
  tftp_session* join(ino_t inode, uint16_t block_size = 512) {
    tftp_session* s = new_session();
    made_.push_back(s);
    s->opcode = 1;
    s->mode = MODE_OCTET;
    s->option_flags = OPT_MULTICAST;
    s->block_size = block_size;
    s->file_device = 7;
    s->file_inode = inode;
    s->timeout = 1;
    assign_multicast_group(s);
    s->next = session_list;
    session_list = s;
    return s;
  }

  // The session's transfer ends: it leaves its group.
  static void end(tftp_session* s) { leave_multicast_group(s); }

  std::vector<tftp_session*> made_;
};

TEST_F(Groups, SameFileJoinsOtherBlockSizeOrFileOpensTheNextFreePort) {
  tftp_session* master = join(BOOT);
  EXPECT_EQ(master->multicast_master, 1u);
  EXPECT_EQ(master->multicast_port, 1758);
  EXPECT_EQ(master->multicast_ip, ipv4("224.0.0.1"));

  tftp_session* member = join(BOOT);  // whatever name it was asked by
  EXPECT_EQ(member->multicast_master, 0u);
  EXPECT_EQ(member->multicast_port, 1758);

  EXPECT_EQ(join(BOOT, 1024)->multicast_port, 1759);
  EXPECT_EQ(join(OTHER)->multicast_port, 1760);

  // A group whose sessions have all ended frees its port for the next group.
  end(master);
  end(member);
  tftp_session* again = join(THIRD);
  EXPECT_EQ(again->multicast_port, 1758);
  EXPECT_EQ(again->multicast_master, 1u);
}

TEST_F(Groups, AnotherFileOnTheSameDeviceIsAnotherGroup) {
  tftp_session* boot = join(BOOT);
  tftp_session* other = join(OTHER);
  EXPECT_EQ(other->multicast_master, 1u);
  EXPECT_NE(other->multicast_port, boot->multicast_port);
  tftp_session* elsewhere = new_session();
  made_.push_back(elsewhere);
  elsewhere->mode = MODE_OCTET;
  elsewhere->option_flags = OPT_MULTICAST;
  elsewhere->block_size = 512;
  elsewhere->file_device = 8;  // same inode number, another device
  elsewhere->file_inode = BOOT;
  assign_multicast_group(elsewhere);
  EXPECT_EQ(elsewhere->multicast_master, 1u);
}

TEST_F(Groups, WithoutAFreePortTheReadIsUnicast) {
  MulticastLast = 1759;
  join(A);
  join(B);
  tftp_session* third = join(C);
  EXPECT_EQ(third->option_flags & OPT_MULTICAST, 0u);
  EXPECT_EQ(third->multicast_master, 0u);
  EXPECT_EQ(third->group, nullptr);
  // Joining a running group needs no port of its own.
  EXPECT_EQ(join(A)->option_flags & OPT_MULTICAST, static_cast<uint32_t>(OPT_MULTICAST));

  // The search stops at MulticastLast, also at the top of the port range.
  MulticastPort = 65535;
  MulticastLast = 65535;
  EXPECT_EQ(join(D)->multicast_port, 65535);
  EXPECT_EQ(join(E)->option_flags & OPT_MULTICAST, 0u);
}

TEST_F(Groups, AnEndingMasterPromotesTheNewestMemberOfItsOwnGroupOnly) {
  tftp_session* master = join(BOOT);
  tftp_session* older = join(BOOT);
  tftp_session* other_group = join(BOOT, 1024);
  tftp_session* newer = join(BOOT);

  end(master);
  EXPECT_EQ(master->multicast_master, 0u);
  EXPECT_EQ(newer->multicast_master, 1u);
  EXPECT_EQ(older->multicast_master, 0u);
  EXPECT_EQ(other_group->multicast_master, 1u);  // master of its own group, untouched

  // The new master's group is found by the next request.
  tftp_session* late = join(BOOT);
  EXPECT_EQ(late->multicast_master, 0u);
  EXPECT_EQ(late->multicast_port, newer->multicast_port);

  end(newer);
  EXPECT_EQ(late->multicast_master, 1u);
  EXPECT_EQ(older->multicast_master, 0u);
  end(late);
  EXPECT_EQ(older->multicast_master, 1u);
}

TEST_F(Groups, AnEndingPlainMemberPromotesNobody) {
  tftp_session* master = join(BOOT);
  tftp_session* older = join(BOOT);
  tftp_session* newer = join(BOOT);
  end(older);
  EXPECT_EQ(master->multicast_master, 1u);
  EXPECT_EQ(newer->multicast_master, 0u);
  EXPECT_EQ(older->multicast_master, 0u);
}

TEST_F(Groups, TheLastSessionFreesTheGroupAndItsPort) {
  tftp_session* master = join(BOOT);
  tftp_session* member = join(BOOT);
  end(member);
  EXPECT_EQ(multicast_group_count(), 1);
  end(master);
  EXPECT_EQ(master->multicast_master, 0u);
  EXPECT_EQ(multicast_group_count(), 0);
  EXPECT_EQ(join(OTHER)->multicast_port, 1758);
}

// A member's data socket connected to a client socket on loopback.
class MemberWait : public Groups {
 protected:
  void SetUp() override {
    Groups::SetUp();
    server_ = loopback_udp_socket();
    client_ = loopback_udp_socket();
    ip_address loopback = ipv4_address(network_address(0x7F000001u));
    ASSERT_EQ(connect_socket(server_, loopback, network_port(bound_port(client_))), 1);
    ASSERT_EQ(connect_socket(client_, loopback, network_port(bound_port(server_))), 1);
  }

  void TearDown() override {
    close_socket(server_);
    close_socket(client_);
    Groups::TearDown();
  }

  tftp_session* member_of(tftp_session* master) {
    tftp_session* m = join(master->file_inode);
    m->data_socket = server_;
    m->file_size = 4000;  // blocks 1 to 8
    return m;
  }

  static constexpr uint8_t ACK5[4] = {0, 4, 0, 5};
  static constexpr uint8_t ACK8[4] = {0, 4, 0, 8};
  int server_ = -1;
  int client_ = -1;
};

TEST_F(MemberWait, EndsCompletedWhenTheClientHasTheWholeFile) {
  tftp_session* master = join(BOOT);
  tftp_session* member = member_of(master);
  ASSERT_EQ(read_member_wait(member), RESULT_RUNNING);
  EXPECT_EQ(read_datagram(member, ACK5, sizeof ACK5), RESULT_RUNNING) << "within the file: only noted";
  // 8 x 512 > 4000: the client holds everything.
  EXPECT_EQ(read_datagram(member, ACK8, sizeof ACK8), RESULT_OK);
  EXPECT_EQ(member->block, 8u);
  EXPECT_EQ(member->multicast_master, 0u);
}

TEST_F(MemberWait, EndsAbortedOnAnErrorFromTheClient) {
  tftp_session* member = member_of(join(BOOT));
  const uint8_t error[] = {0, 5, 0, 0, 'n', 'o', 0};
  ASSERT_EQ(read_member_wait(member), RESULT_RUNNING);
  EXPECT_EQ(read_datagram(member, error, sizeof error), RESULT_ABORTED);
  EXPECT_STREQ(member->error_text, "0 no");
}

// The member looks again within a slice, far sooner than its time-out, and
// once promoted sends its OACK again, now as master.
TEST_F(MemberWait, APromotedMemberSendsItsOackWithinASlice) {
  tftp_session* master = join(BOOT);
  tftp_session* member = member_of(master);
  int64_t start = monotonic_now_ms();
  ASSERT_EQ(read_member_wait(member), RESULT_RUNNING);
  EXPECT_LE(member->own.deadline_ms, start + MEMBER_SLICE_MS + 5);
  EXPECT_EQ(read_deadline(member), RESULT_RUNNING) << "not promoted yet: it waits on";
  EXPECT_EQ(member->own.state, READ_MEMBER);
  leave_multicast_group(master);
  EXPECT_EQ(read_deadline(member), RESULT_RUNNING);
  EXPECT_EQ(member->own.state, READ_OPTIONS);
  EXPECT_EQ(member->multicast_master, 1u);
  EXPECT_EQ(master->multicast_master, 0u);
  uint8_t oack[64];
  int ready = wait_sockets_readable(&client_, 1, monotonic_now_ms() + 2000);
  ASSERT_EQ(ready, 1) << "no OACK reached the client";
  long n = take_datagram(client_, oack, sizeof oack);
  ASSERT_GE(n, 2);
  EXPECT_EQ(oack[1], OPCODE_OACK);
}

TEST_F(MemberWait, AWaitingMemberIsAsBusyAsItsGroup) {
  tftp_session* master = join(BOOT);
  tftp_session* member = member_of(master);
  member->last_progress_ms = 0;
  note_group_progress(master);
  EXPECT_EQ(read_member_wait(member), RESULT_RUNNING);
  EXPECT_GT(member->last_progress_ms.load(), 0) << "the group's progress did not reach the member";
}

}  // namespace
