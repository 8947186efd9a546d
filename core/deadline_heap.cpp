#include "core/deadline_heap.h"

static void place(deadline_heap* h, size_t index, int slot) {
  h->order[index] = slot;
  h->position[static_cast<size_t>(slot)] = static_cast<int>(index);
}

static int64_t due(const deadline_heap* h, size_t index) {
  return h->when[static_cast<size_t>(h->order[index])];
}

static void sift_up(deadline_heap* h, size_t index) {
  int slot = h->order[index];
  int64_t deadline = h->when[static_cast<size_t>(slot)];
  while (index > 0) {
    size_t parent = (index - 1) / 2;
    if (due(h, parent) <= deadline) break;
    place(h, index, h->order[parent]);
    index = parent;
  }
  place(h, index, slot);
}

static void sift_down(deadline_heap* h, size_t index) {
  int slot = h->order[index];
  int64_t deadline = h->when[static_cast<size_t>(slot)];
  size_t count = h->order.size();
  for (;;) {
    size_t child = 2 * index + 1;
    if (child >= count) break;
    if (child + 1 < count && due(h, child + 1) < due(h, child)) child++;
    if (due(h, child) >= deadline) break;
    place(h, index, h->order[child]);
    index = child;
  }
  place(h, index, slot);
}

void set_deadline(deadline_heap* h, int slot, int64_t deadline_ms) {
  size_t s = static_cast<size_t>(slot);
  if (s >= h->position.size()) {
    h->position.resize(s + 1, -1);
    h->when.resize(s + 1, 0);
  }
  int index = h->position[s];
  h->when[s] = deadline_ms;
  if (index < 0) {
    h->order.push_back(slot);
    h->position[s] = static_cast<int>(h->order.size() - 1);
    sift_up(h, h->order.size() - 1);
    return;
  }
  sift_up(h, static_cast<size_t>(index));
  sift_down(h, static_cast<size_t>(h->position[s]));
}

void clear_deadline(deadline_heap* h, int slot) {
  size_t s = static_cast<size_t>(slot);
  if (s >= h->position.size() || h->position[s] < 0) return;
  size_t index = static_cast<size_t>(h->position[s]);
  h->position[s] = -1;
  int last = h->order.back();
  h->order.pop_back();
  if (index == h->order.size()) return;
  place(h, index, last);
  sift_up(h, index);
  sift_down(h, static_cast<size_t>(h->position[static_cast<size_t>(last)]));
}

int first_deadline(const deadline_heap* h, int64_t* deadline_ms) {
  if (h->order.empty()) return -1;
  *deadline_ms = due(h, 0);
  return h->order[0];
}
