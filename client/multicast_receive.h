// GET as a member (and master) of a multicast group.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/client_record.h"

constexpr int MULTICAST_CONTINUE = 0;     // go on as the group's master
constexpr int MULTICAST_COMPLETE = -1;    // the file arrived through the group
constexpr int MULTICAST_NO_GROUP = 10;    // socket, wait, receive, silence, seek
constexpr int MULTICAST_NO_JOIN = 11;
constexpr int MULTICAST_NO_SEND = 12;
int set_group_membership(const client_transfer& transfer, int join);
int receive_group_block(client_transfer& transfer, uint8_t* buffer);
int receive_multicast(const client_settings& settings, client_transfer& transfer,
                      uint8_t* buffer);
int32_t receive_as_master(const client_settings& settings, client_transfer& transfer,
                          uint8_t* buffer);
int32_t run_multicast_get(const client_settings& settings, client_transfer& transfer,
                          uint8_t* buffer);
void close_group_socket(client_transfer& transfer);
