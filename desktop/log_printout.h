// Printing a text file page by page: the layout of print_layout.h drawn by
// the toolkit's printing.
#pragma once

#include <cstddef>

class wxWindow;

// No line limit: print_text_file caps it.
constexpr size_t PRINT_NO_LIMIT = static_cast<size_t>(-1);

enum print_result { PRINT_DONE, PRINT_CANCELLED, PRINT_FAILED };

// Shows the print dialog (collate preset, one copy) and prints the file:
// PRINT_FAILED when the file cannot be read or the print job fails.
print_result print_text_file(wxWindow* owner, const char* path, size_t limit);

// Prints without a dialog into a PostScript file (for tests and for
// systems without a print service). Returns 1, or 0 when the file cannot be
// read or the PostScript file not written.
int print_text_file_to_postscript(const char* path, const char* output, unsigned copies, int collate);
