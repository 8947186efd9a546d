// The command line of a call: split in place, read into the transfer and settings records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "client/client_record.h"

void reset_client(client_transfer& transfer, client_settings& settings);
void split_command_line(const char* line, argument_vector& out);
int parse_client_args(int count, char* const* vector, client_transfer& transfer,
                      client_settings& settings);
uint32_t parse_decimal(std::string_view text);
int parse_unsigned(std::string_view text, uint64_t& value);
