// The table of blocks received through a multicast group.
#include "client/block_table.h"
#include "client/command_line.h"
#include "client/run_client.h"
#include "client/pelican.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using ranges = std::vector<std::pair<int, int>>;

ranges entries_of(const block_table& table) {
  ranges out;
  for (uint32_t i = 0; i < table.used; i++) {
    out.emplace_back(table.entries[i].first, table.entries[i].last);
  }
  return out;
}

block_table empty_table() {
  block_table table{};
  reset_block_table(table);
  return table;
}

void mark_range(block_table& table, int first, int last) {
  for (int n = first; n <= last; n++) mark_block(table, static_cast<uint16_t>(n));
}

TEST(BlockTable, RangesGrowMergeAndIgnoreDuplicates) {
  block_table table = empty_table();
  EXPECT_EQ(table.final_block, FINAL_BLOCK_UNKNOWN);
  mark_block(table, 0);  // no data block
  EXPECT_EQ(entries_of(table), ranges{});

  mark_range(table, 10, 12);
  mark_block(table, 5);
  mark_block(table, 20);
  EXPECT_EQ(entries_of(table), (ranges{{5, 5}, {10, 12}, {20, 20}}));
  mark_block(table, 11);  // duplicates change nothing
  mark_block(table, 5);
  EXPECT_EQ(entries_of(table), (ranges{{5, 5}, {10, 12}, {20, 20}}));
  mark_block(table, 9);   // joins the range after it from below
  mark_block(table, 13);  // and from above
  EXPECT_EQ(entries_of(table), (ranges{{5, 5}, {9, 13}, {20, 20}}));
  mark_block(table, 7);
  EXPECT_EQ(entries_of(table), (ranges{{5, 5}, {7, 7}, {9, 13}, {20, 20}}));
  mark_block(table, 8);  // fills the gap: three ranges become one
  mark_block(table, 6);
  EXPECT_EQ(entries_of(table), (ranges{{5, 13}, {20, 20}}));
  mark_range(table, 14, 19);
  EXPECT_EQ(entries_of(table), (ranges{{5, 20}}));
  mark_block(table, 65535);
  mark_block(table, 65534);
  EXPECT_EQ(entries_of(table), (ranges{{5, 20}, {65534, 65535}}));
}

TEST(BlockTable, CompleteOnlyWithEveryBlockUpToTheFinalOne) {
  block_table table = empty_table();
  EXPECT_FALSE(all_blocks_received(table));
  mark_range(table, 1, 6);
  mark_range(table, 8, 9);
  table.final_block = 9;
  EXPECT_FALSE(all_blocks_received(table)) << "block 7 is missing";
  EXPECT_EQ(contiguous_end(table, 0), 6);

  // 1 to 6 and 7 to 9 received are the whole file: one range 1 to 9.
  mark_block(table, 7);
  EXPECT_EQ(entries_of(table), (ranges{{1, 9}}));
  EXPECT_TRUE(all_blocks_received(table));

  // Two ranges, even adjoining ones, are never a complete file; mark_block
  // would have merged them.
  block_table two = empty_table();
  two.entries[0] = block_range{1, 6};
  two.entries[1] = block_range{7, 9};
  two.used = 2;
  two.final_block = 9;
  EXPECT_FALSE(all_blocks_received(two));

  block_table unknown_end = empty_table();
  mark_range(unknown_end, 1, 9);
  EXPECT_FALSE(all_blocks_received(unknown_end)) << "no short block yet";
  unknown_end.final_block = 12;
  EXPECT_FALSE(all_blocks_received(unknown_end));

  block_table no_start = empty_table();
  mark_range(no_start, 2, 9);
  no_start.final_block = 9;
  EXPECT_FALSE(all_blocks_received(no_start)) << "block 1 is missing";
  EXPECT_EQ(contiguous_end(no_start, 0), 0);
  EXPECT_EQ(contiguous_end(no_start, 1), 9);
}

// The second order is a promoted master's view: 1-4 and 7 from the group,
// then 5 onwards again. Ranges that were only extended, never merged, would
// end as 1-9 beside a stale 7-7 and the file would never count as complete.
TEST(BlockTable, ReceivedOutOfOrderOrGrowingThroughAnotherRangeTheFileIsComplete) {
  const std::vector<int> orders[] = {{9, 3, 7, 1, 5, 2, 8, 4, 6, 3, 9}, {1, 2, 3, 4, 7, 2, 5, 6, 7, 8, 9}};
  for (const std::vector<int>& order : orders) {
    block_table table = empty_table();
    for (int n : order) mark_block(table, static_cast<uint16_t>(n));
    table.final_block = 9;
    EXPECT_EQ(entries_of(table), (ranges{{1, 9}})) << testing::PrintToString(order);
    EXPECT_TRUE(all_blocks_received(table)) << testing::PrintToString(order);
    EXPECT_EQ(contiguous_end(table, 0), 9) << testing::PrintToString(order);
  }
}

TEST(BlockTable, ContiguousEndFollowsTheRunAfterABlock) {
  block_table table = empty_table();
  mark_range(table, 1, 4);
  mark_range(table, 8, 10);
  EXPECT_EQ(contiguous_end(table, 0), 4);
  EXPECT_EQ(contiguous_end(table, 2), 4);
  EXPECT_EQ(contiguous_end(table, 5), 5) << "block 6 has not arrived";
  EXPECT_EQ(contiguous_end(table, 7), 10) << "block 8 starts the next run";
  EXPECT_EQ(contiguous_end(table, 12), 12);
  table.final_block = 10;
  EXPECT_EQ(contiguous_end(table, 10), 10);
  EXPECT_EQ(contiguous_end(empty_table(), 0), 0);
}

TEST(BlockTable, HoldsAtMost1023Ranges) {
  block_table table = empty_table();
  // Every odd block: each one a range of its own.
  for (int i = 0; i < 1100; i++) mark_block(table, static_cast<uint16_t>(1 + 2 * i));
  EXPECT_EQ(table.used, BLOCK_TABLE_LIMIT);
  EXPECT_EQ(table.entries[BLOCK_TABLE_LIMIT - 1].first, 1 + 2 * (BLOCK_TABLE_LIMIT - 1));
  EXPECT_FALSE(block_marked(table, 1 + 2 * BLOCK_TABLE_LIMIT)) << "no room: not recorded";
  // A full table still extends and merges ranges.
  mark_block(table, 2);
  EXPECT_EQ(table.used, BLOCK_TABLE_LIMIT - 1);
  EXPECT_EQ(entries_of(table)[0], (std::pair<int, int>{1, 3}));
  mark_block(table, 20000);  // room for one again
  EXPECT_EQ(table.used, BLOCK_TABLE_LIMIT);
  EXPECT_TRUE(block_marked(table, 20000));
  mark_block(table, 30000);
  EXPECT_FALSE(block_marked(table, 30000));
}

TEST(BlockTable, EveryCallStartsWithAnEmptyTable) {
  // What an earlier multicast GET left behind.
  block_table& left = transfer_record.blocks;
  reset_block_table(left);
  mark_range(left, 1, 3);
  mark_block(left, 5);
  left.final_block = 5;
  left.last_written = 5;
  // Any call, even one that ends at its command line, starts afresh.
  argument_vector args{};
  split_command_line("-m", args);
  EXPECT_EQ(run_client(args.count, args.vector.data()), PELICAN_BAD_COMMAND_LINE);
  EXPECT_EQ(transfer_record.blocks.used, 0u);
  EXPECT_EQ(transfer_record.blocks.final_block, FINAL_BLOCK_UNKNOWN);
  EXPECT_EQ(transfer_record.blocks.last_written, -1);
  mark_block(transfer_record.blocks, 4);
  EXPECT_FALSE(all_blocks_received(transfer_record.blocks));
}

}  // namespace
