// The table of block ranges received through a multicast group, and what
// it tells: how far the file is complete from a given block on, and whether
// all of it has arrived.
#include "client/block_table.h"

#include <algorithm>

// Empties the table: no ranges, final block unknown, nothing written yet.
void reset_block_table(block_table& table) {
  table.used = 0;
  table.final_block = FINAL_BLOCK_UNKNOWN;
  table.last_written = -1;
}

namespace {

// Removes entry i, moving the later ones down.
void remove_entry(block_table& table, uint32_t i) {
  std::copy(table.entries.begin() + i + 1, table.entries.begin() + table.used,
            table.entries.begin() + i);
  table.used--;
}

}  // namespace

// Records block n (0 is no data block and is ignored). A block that extends
// a range joins it, and ranges that come to touch are merged, so that a file
// received in any order ends as the one range 1..final. A block that needs a
// new range when BLOCK_TABLE_LIMIT ranges are in use is not recorded.
void mark_block(block_table& table, uint16_t n) {
  if (n == 0) return;
  uint32_t i = 0;
  for (; i < table.used; i++) {
    block_range& e = table.entries[i];
    if (n + 1 < e.first) break;  // a new range goes before this one
    if (n + 1 == e.first) {
      // The range before ends at most at n - 2, else it would have taken n.
      e.first = n;
      return;
    }
    if (n <= e.last) return;  // already there
    if (n == e.last + 1) {
      e.last = n;
      if (i + 1 < table.used && table.entries[i + 1].first == n + 1) {
        e.last = table.entries[i + 1].last;
        remove_entry(table, i + 1);
      }
      return;
    }
  }
  if (table.used >= BLOCK_TABLE_LIMIT) return;
  std::copy_backward(table.entries.begin() + i, table.entries.begin() + table.used,
                     table.entries.begin() + table.used + 1);
  table.entries[i] = block_range{n, n};
  table.used++;
}

// 1 when block n has been recorded, else 0.
int block_marked(const block_table& table, uint16_t n) {
  for (uint32_t i = 0; i < table.used; i++) {
    if (n < table.entries[i].first) return 0;
    if (n <= table.entries[i].last) return 1;
  }
  return 0;
}

// The last block of the run without gaps that continues block n: n itself
// when block n + 1 has not arrived, the end of the range that holds n + 1
// otherwise. With n = 0, how far the file is complete from its start.
uint16_t contiguous_end(const block_table& table, uint16_t n) {
  if (n == table.final_block) return n;
  for (uint32_t i = 0; i < table.used; i++) {
    const block_range& e = table.entries[i];
    if (e.first - 1 > n) return n;
    if (e.last >= n) return e.last;
  }
  return n;
}

// 1 when every block from 1 to the final block has been recorded.
int all_blocks_received(const block_table& table) {
  return table.used == 1 && table.entries[0].first == 1 &&
         table.entries[0].last == table.final_block;
}
