// The window's one reader of the core's session list.
#pragma once

#include <vector>

#include "desktop/transfer_rows.h"

// Replaces rows with copies of every listed session whose worker started
// (running or ended), newest first. Holds list_lock only while copying; the
// vector keeps its capacity between calls, so a steady list allocates
// nothing under the lock.
void copy_session_rows(std::vector<session_row_source>* rows);
