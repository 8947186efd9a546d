// The page layout of a printed text file, without a printer: which sheets
// come out in which order, each with its header and its lines. The printout
// only draws what the layout lists.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t PRINT_LINE_LIMIT = 30000;  // the most lines one printout takes
constexpr int PRINT_HEADER_LINES = 2;
constexpr size_t PRINT_LINE_CHARS_MAX = 4096;  // longer lines are cut: no page shows more       // the header and a blank line above the text

struct print_sheet {
  unsigned page;         // 1, 2, ...
  std::string header;    // "<file name>  --  <page>"
  size_t first_line;     // index of the sheet's first line in the file
  size_t line_count;     // 0 on a sheet with only its header
};

// Lines below the header on a page: the printable height in lines, less
// the header's two. At least 1, so that a tiny page still moves on.
unsigned print_lines_per_page(int printable_height, int line_height);

// The header of a page.
std::string print_header(const std::string& file_name, unsigned page);

struct print_plan {
  std::vector<print_sheet> pages;  // the document once, page 1 first
  unsigned copies;                 // at least 1
  int collate;                     // 1: whole copies in turn; 0: each page copies times in a row
};

// The document's pages and the copies. file_lines is the number of lines the file has
// (counted up to the limit at most); limit the line limit (capped at
// PRINT_LINE_LIMIT, 0 prints nothing). The end of the file is noticed only
// when one more line is read, so a file whose lines fill the last page
// exactly, and an empty file, end with a page that carries only its header;
// a file cut by the limit ends on the page of its last line. Collated copies
// repeat the whole document, uncollated ones each page in a row.
print_plan plan_print(const std::string& file_name, size_t file_lines, size_t limit, unsigned lines_per_page,
                      unsigned copies, int collate);

// The sheets that come out: pages times copies; and the one printed as
// the index-th (from 0), so that many copies need no list of their own
// (a sheet of page 0 when the plan has no pages).
size_t print_sheet_count(const print_plan& plan);
const print_sheet& print_sheet_at(const print_plan& plan, size_t index);

// Reads up to limit lines of a text file, each without its line end (CR LF
// or LF) and cut at PRINT_LINE_CHARS_MAX. Returns 1, or 0 when the file cannot be opened.
int read_print_lines(const char* path, size_t limit, std::vector<std::string>* lines);
