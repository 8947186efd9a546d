// Message boxes and what the description of the program asks of the system.
#pragma once

class wxWindow;

// A modal box with an OK button, the product title as caption and the
// printf-formatted text.
void show_message(wxWindow* owner, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The major version of the system on the NT family, 0 on the 95/98 family:
// this system answers as the NT family does. Computed once.
int nt_major_version();
