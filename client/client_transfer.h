// The data phase of GET and PUT, lockstep and windowed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/client_record.h"

int send_and_wait(const client_settings& settings, client_transfer& transfer,
                  const uint8_t* packet, std::size_t length);
int32_t receive_file(const client_settings& settings, client_transfer& transfer,
                     uint8_t* buffer, std::size_t length);
int32_t send_file(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
                  std::size_t length);
int32_t send_file_windowed(const client_settings& settings, client_transfer& transfer,
                           uint8_t* buffer, std::size_t length);
void run_transfer(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
                  std::size_t length);
