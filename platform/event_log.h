// The system's event log (syslog at error priority on Linux).
#pragma once

// Writes one error entry under the identity `source` carrying both texts.
void write_event_log_error(const char* source, const char* first_text, const char* second_text);
