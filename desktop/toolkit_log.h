// The toolkit's own log messages (a template a language module lacks, a
// print job's error) go to the trace and to standard error, never into a
// box of the toolkit's: the program shows its own messages where a user is
// to see one.
#pragma once

#include <string_view>

// Makes the toolkit's log write through trace_toolkit_message from now on.
void route_toolkit_log();

// One message of the toolkit: " toolkit: <text>" with its control bytes
// spelt \xHH, at trace level 2 when severe (an error or a warning), else at
// level 4; a severe one also on standard error.
void trace_toolkit_message(int severe, std::string_view text);
