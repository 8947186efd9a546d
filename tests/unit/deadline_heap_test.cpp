// The transfer loops' deadlines: moved in place, taken out, and always the
// earliest first, checked against a plain ordered set.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "core/deadline_heap.h"

namespace {

TEST(DeadlineHeap, TheEarliestComesFirstThroughAnyMixOfChanges) {
  deadline_heap heap;
  std::set<std::pair<int64_t, int>> expected;
  std::vector<int64_t> current(200, -1);
  std::mt19937 random(7);
  int64_t due = 0;
  EXPECT_EQ(first_deadline(&heap, &due), -1);
  for (int step = 0; step < 20000; step++) {
    int slot = static_cast<int>(random() % current.size());
    if (current[slot] >= 0) expected.erase({current[slot], slot});
    if (random() % 3 == 0) {
      clear_deadline(&heap, slot);
      current[slot] = -1;
    } else {
      // Few distinct values, so that equal deadlines meet often.
      current[slot] = static_cast<int64_t>(random() % 50);
      set_deadline(&heap, slot, current[slot]);
      expected.insert({current[slot], slot});
    }
    ASSERT_EQ(heap.order.size(), expected.size()) << "a slot is held twice or lost, step " << step;
    int first = first_deadline(&heap, &due);
    if (expected.empty()) {
      ASSERT_EQ(first, -1);
      continue;
    }
    ASSERT_EQ(due, expected.begin()->first) << "step " << step;
    ASSERT_EQ(current[first], due) << "the slot named is not one with the earliest deadline";
  }
  // Emptied in deadline order.
  int64_t last = -1;
  for (int slot; (slot = first_deadline(&heap, &due)) >= 0;) {
    EXPECT_GE(due, last);
    last = due;
    clear_deadline(&heap, slot);
  }
  EXPECT_TRUE(heap.order.empty());
}

}  // namespace
