// The deadlines of a transfer loop's transfers: which falls due first, in
// O(log n) per change. Entries are slot numbers (0, 1, ...) with one
// deadline each; a slot's deadline is moved in place, so the heap never
// holds more entries than there are transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct deadline_heap {
  std::vector<int> order;        // slots, the earliest deadline first
  std::vector<int> position;     // slot -> its index in order, or -1
  std::vector<int64_t> when;     // slot -> its deadline
};

// Sets the slot's deadline, adding the slot when it has none.
void set_deadline(deadline_heap* heap, int slot, int64_t deadline_ms);

// Takes the slot out; nothing when it has no deadline.
void clear_deadline(deadline_heap* heap, int slot);

// The slot whose deadline falls due first, with its deadline in *deadline_ms,
// or -1 when the heap is empty.
int first_deadline(const deadline_heap* heap, int64_t* deadline_ms);
