// Whether a standard stream is a terminal, for output meant only for a
// person watching (a progress line redrawn in place).
#pragma once

// 1 when standard error is a terminal (a console window), else 0.
int error_output_is_terminal();
