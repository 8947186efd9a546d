// Multicast reception: which blocks arrived through the group.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/client_record.h"

void reset_block_table(block_table& table);
void mark_block(block_table& table, uint16_t n);
int block_marked(const block_table& table, uint16_t n);
uint16_t contiguous_end(const block_table& table, uint16_t n);
int all_blocks_received(const block_table& table);
