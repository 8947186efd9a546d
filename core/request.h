// Turning one request datagram into a ready session or a refusal.
#pragma once

#include <cstddef>

struct tftp_session;

// `datagram` holds `length` bytes; nothing after them is read. Returns
// REQUEST_ACCEPTED when the request is accepted and its file is open, or
// the TFTP error code of a refusal with the message index in
// session->refusal_message; a refusal holds nothing.
int parse_request(const char* datagram, size_t length, tftp_session* session);
