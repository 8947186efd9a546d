// Counting the bytes moved, and the progress report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/client_record.h"

// Told after every block that reached the file or the wire; none by default,
// so a host program of the library pays nothing for it.
using progress_procedure = void (*)(const client_transfer& transfer);
extern progress_procedure progress_report;
// Counts data bytes moved in bytes_moved and tells progress_report.
// byte_count is left to the callers, which define it per kind of transfer.
void count_moved(client_transfer& transfer, std::size_t length);
