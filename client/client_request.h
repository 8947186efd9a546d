// The request, the option acknowledgement and ERROR packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "client/client_record.h"

std::size_t build_request(client_transfer& transfer, const client_settings& settings,
                          uint8_t* buffer, std::size_t size);
int send_request(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
                 std::size_t length);
int parse_oack(const uint8_t* options, std::size_t length, client_transfer& transfer,
               const client_settings& settings);
std::string_view oack_refusal_text(int message);
void send_error(int socket, uint16_t code, std::string_view text);
// send_error on an unconnected socket, to address and port (network order).
void send_error_to(int socket, uint16_t code, std::string_view text, const ip_address& address,
                   uint16_t port);
// Keeps the code and message of a received ERROR packet in the record;
// anything else (or a packet shorter than 4 bytes) leaves it as it was.
void note_server_error(client_transfer& transfer, const uint8_t* packet, std::size_t length);
