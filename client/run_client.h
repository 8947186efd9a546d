// One call: the command line, the transfer, the result code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/client_record.h"

int run_client(int count, char* const* vector);
extern client_transfer transfer_record;
extern client_settings settings_record;
