// The window's copy of the session list: a session admitted but not yet
// started (its request may still be refused) is never shown.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "core/session.h"
#include "core/session_table.h"
#include "desktop/session_snapshot.h"

namespace {

tftp_session* listed(int thread, uint32_t block, const char* path) {
  tftp_session* s = new_session();
  s->thread = thread;
  s->block = block;
  s->block_size = 512;
  snprintf(s->path, sizeof s->path, "%s", path);
  std::lock_guard<std::mutex> hold(list_lock);
  s->next = session_list;
  session_list = s;
  return s;
}

TEST(SessionSnapshot, ShowsStartedAndEndedSessionsOnlyNewestFirst) {
  ASSERT_EQ(session_list, nullptr);
  listed(-1, 3, "/srv/ended");
  listed(0, 0, "/srv/being-parsed");
  tftp_session* running = listed(7, 9, "/srv/running");
  listed(0, 0, "/srv/refused-soon");

  std::vector<session_row_source> rows;
  copy_session_rows(&rows);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_STREQ(rows[0].path, "/srv/running");
  EXPECT_EQ(rows[0].key, reinterpret_cast<uintptr_t>(running));
  EXPECT_EQ(rows[0].block, 9u);
  EXPECT_STREQ(rows[1].path, "/srv/ended");

  // A second copy replaces the rows instead of adding to them.
  copy_session_rows(&rows);
  EXPECT_EQ(rows.size(), 2u);

  std::lock_guard<std::mutex> hold(list_lock);
  while (session_list) {
    tftp_session* next = session_list->next;
    free_session(session_list);
    session_list = next;
  }
}

}  // namespace
