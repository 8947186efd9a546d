// Group placement and the passing of the master role, on a session list
// built by hand (no sockets, no workers).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/multicast.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/transfer.h"
#include "tests/unit/test_support.h"

namespace {

class Groups : public ::testing::Test {
 protected:
  void SetUp() override {
    MulticastPort = 1758;
    MulticastLast = 65535;
    MulticastIp = inet_addr("224.0.0.1");
  }

  void TearDown() override {
    session_list = nullptr;
    for (tftp_session* s : made_) free_session(s);
  }

  // A multicast read of `path`, not listed; live as if its worker ran.
  tftp_session* request(const char* path, uint16_t block_size = 512) {
    tftp_session* s = new_session();
    made_.push_back(s);
    s->opcode = 1;
    s->mode = MODE_OCTET;
    s->option_flags = OPT_MULTICAST;
    s->block_size = block_size;
    strcpy(s->path, path);
    s->data_socket = 100;  // not a real socket: only liveness is looked at
    s->thread = 1;
    return s;
  }

  // Places the session and lists it, as the server loop does.
  tftp_session* join(const char* path, uint16_t block_size = 512) {
    tftp_session* s = request(path, block_size);
    assign_multicast_group(s);
    s->next = session_list;
    session_list = s;
    return s;
  }

  static void end(tftp_session* s) {
    s->data_socket = -1;
    s->thread = -1;
  }

  std::vector<tftp_session*> made_;
};

TEST_F(Groups, SameStreamJoinsOtherBlockSizeOrFileOpensTheNextFreePort) {
  tftp_session* master = join("/srv/boot.img");
  EXPECT_EQ(master->multicast_master, 1u);
  EXPECT_EQ(master->multicast_port, 1758);
  EXPECT_EQ(master->multicast_ip, inet_addr("224.0.0.1"));

  tftp_session* member = join("/SRV/Boot.IMG");  // letter case does not matter
  EXPECT_EQ(member->multicast_master, 0u);
  EXPECT_EQ(member->multicast_port, 1758);

  EXPECT_EQ(join("/srv/boot.img", 1024)->multicast_port, 1759);
  EXPECT_EQ(join("/srv/other.img")->multicast_port, 1760);

  // A group whose sessions have all ended frees its port for the next group.
  end(master);
  end(member);
  tftp_session* again = join("/srv/third.img");
  EXPECT_EQ(again->multicast_port, 1758);
  EXPECT_EQ(again->multicast_master, 1u);
}

TEST_F(Groups, MembersJoinOnlyALiveMaster) {
  tftp_session* master = join("/srv/boot.img");
  tftp_session* member = join("/srv/boot.img");
  master->multicast_master = 0;  // the role is being passed on
  tftp_session* next = join("/srv/boot.img");
  EXPECT_EQ(next->multicast_master, 1u);
  EXPECT_EQ(next->multicast_port, 1759);
  EXPECT_EQ(member->multicast_port, 1758);
}

TEST_F(Groups, WithoutAFreePortTheReadIsUnicast) {
  MulticastLast = 1759;
  join("/srv/a.img");
  join("/srv/b.img");
  tftp_session* third = join("/srv/c.img");
  EXPECT_EQ(third->option_flags & OPT_MULTICAST, 0u);
  EXPECT_EQ(third->multicast_master, 0u);
  // Joining a running group needs no port of its own.
  EXPECT_EQ(join("/srv/a.img")->option_flags & OPT_MULTICAST, static_cast<uint32_t>(OPT_MULTICAST));

  // The search stops at MulticastLast, also at the top of the port range.
  MulticastPort = 65535;
  MulticastLast = 65535;
  EXPECT_EQ(join("/srv/d.img")->multicast_port, 65535);
  EXPECT_EQ(join("/srv/e.img")->option_flags & OPT_MULTICAST, 0u);
}

TEST_F(Groups, AnEndingMasterPromotesTheNewestMemberOfItsOwnGroupOnly) {
  tftp_session* master = join("/srv/boot.img");
  tftp_session* older = join("/srv/boot.img");
  tftp_session* other_group = join("/srv/boot.img", 1024);
  tftp_session* newer = join("/srv/boot.img");
  tftp_session* unicast = join("/srv/boot.img");
  unicast->option_flags = 0;

  hand_over_master(master);
  EXPECT_EQ(master->multicast_master, 0u);
  EXPECT_EQ(newer->multicast_master, 1u);
  EXPECT_EQ(older->multicast_master, 0u);
  EXPECT_EQ(other_group->multicast_master, 1u);  // master of its own group, untouched
  EXPECT_EQ(unicast->multicast_master, 0u);

  end(master);
  end(newer);
  hand_over_master(newer);
  EXPECT_EQ(older->multicast_master, 1u);
}

TEST_F(Groups, AnEndingPlainMemberPromotesNobody) {
  tftp_session* master = join("/srv/boot.img");
  tftp_session* older = join("/srv/boot.img");
  tftp_session* newer = join("/srv/boot.img");
  hand_over_master(older);
  EXPECT_EQ(master->multicast_master, 1u);
  EXPECT_EQ(newer->multicast_master, 0u);
  EXPECT_EQ(older->multicast_master, 0u);
}

TEST_F(Groups, AMasterWithoutMembersLeavesNoMaster) {
  tftp_session* master = join("/srv/boot.img");
  tftp_session* ended = join("/srv/boot.img");
  end(ended);
  hand_over_master(master);
  EXPECT_EQ(master->multicast_master, 0u);
  EXPECT_EQ(ended->multicast_master, 0u);
}

// A member's data socket connected to a client socket on loopback.
class MemberWait : public Groups {
 protected:
  void SetUp() override {
    Groups::SetUp();
    server_ = loopback_udp_socket();
    client_ = loopback_udp_socket();
    sockaddr_in to{};
    socklen_t length = sizeof to;
    getsockname(client_, reinterpret_cast<sockaddr*>(&to), &length);
    ASSERT_EQ(connect(server_, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    length = sizeof to;
    getsockname(server_, reinterpret_cast<sockaddr*>(&to), &length);
    ASSERT_EQ(connect(client_, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    set_receive_timeout(server_, 0);  // a short wait per turn
  }

  void TearDown() override {
    close(server_);
    close(client_);
    Groups::TearDown();
  }

  tftp_session* member_of(tftp_session* master) {
    tftp_session* m = join(master->path);
    m->data_socket = server_;
    m->file_size = 4000;  // blocks 1 to 8
    return m;
  }

  void client_sends(const std::vector<uint8_t>& packet) {
    ASSERT_EQ(send(client_, packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
  }

  int server_ = -1;
  int client_ = -1;
};

TEST_F(MemberWait, EndsCompletedWhenTheClientHasTheWholeFile) {
  tftp_session* master = join("/srv/boot.img");
  tftp_session* member = member_of(master);
  client_sends({0, 4, 0, 5});  // within the file: only noted
  client_sends({0, 4, 0, 8});  // 8 x 512 > 4000: the client holds everything
  EXPECT_EQ(wait_as_member(member), RESULT_OK);
  EXPECT_EQ(member->block, 8u);
  EXPECT_EQ(member->multicast_master, 0u);
}

TEST_F(MemberWait, EndsAbortedOnAnErrorFromTheClient) {
  tftp_session* member = member_of(join("/srv/boot.img"));
  client_sends({0, 5, 0, 0, 'n', 'o', 0});
  EXPECT_EQ(wait_as_member(member), RESULT_ABORTED);
  EXPECT_STREQ(member->error_text, "0 no");
}

TEST_F(MemberWait, LeavesWhenTheEndingMasterPromotesIt) {
  tftp_session* master = join("/srv/boot.img");
  tftp_session* member = member_of(master);
  std::thread ending([master] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    hand_over_master(master);
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_as_member(member), -1);
  ending.join();
  // It waited for the hand-over instead of claiming a group that has a master.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  EXPECT_EQ(member->multicast_master, 1u);
  EXPECT_EQ(master->multicast_master, 0u);
}

TEST_F(MemberWait, TakesTheRoleOfAGroupThatLostItsMaster) {
  // The master ended before this member was listed, so no hand-over found it.
  tftp_session* master = join("/srv/boot.img");
  tftp_session* member = member_of(master);
  hand_over_master(master);
  member->multicast_master = 0;
  end(master);
  EXPECT_EQ(wait_as_member(member), -1);
  EXPECT_EQ(member->multicast_master, 1u);
}

}  // namespace
