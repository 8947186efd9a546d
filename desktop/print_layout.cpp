#include "desktop/print_layout.h"

#include <cstdio>

unsigned print_lines_per_page(int printable_height, int line_height) {
  if (line_height <= 0 || printable_height <= 0) return 1;
  int lines = printable_height / line_height - PRINT_HEADER_LINES;
  return lines < 1 ? 1u : static_cast<unsigned>(lines);
}

std::string print_header(const std::string& file_name, unsigned page) {
  char number[16];
  snprintf(number, sizeof number, "%u", page);
  return file_name + "  --  " + number;
}

print_plan plan_print(const std::string& file_name, size_t file_lines, size_t limit, unsigned lines_per_page,
                      unsigned copies, int collate) {
  print_plan plan;
  plan.copies = copies == 0 ? 1 : copies;
  plan.collate = collate ? 1 : 0;
  if (limit > PRINT_LINE_LIMIT) limit = PRINT_LINE_LIMIT;
  if (limit == 0) return plan;
  size_t per_page = lines_per_page == 0 ? 1 : lines_per_page;
  size_t lines = file_lines < limit ? file_lines : limit;
  // The limit is counted as lines are printed and ends the document on the
  // page it is reached; the end of the file shows only at the next read.
  size_t pages = file_lines >= limit ? (lines + per_page - 1) / per_page : lines / per_page + 1;
  for (size_t p = 0; p < pages; p++) {
    size_t first = p * per_page;
    size_t count = lines - first < per_page ? lines - first : per_page;
    plan.pages.push_back(print_sheet{static_cast<unsigned>(p + 1), print_header(file_name, static_cast<unsigned>(p + 1)),
                                     first, count});
  }
  return plan;
}

size_t print_sheet_count(const print_plan& plan) { return plan.pages.size() * plan.copies; }

const print_sheet& print_sheet_at(const print_plan& plan, size_t index) {
  static const print_sheet none{0, "", 0, 0};
  size_t pages = plan.pages.size();
  if (pages == 0) return none;
  return plan.collate ? plan.pages[index % pages] : plan.pages[(index / plan.copies) % pages];
}

int read_print_lines(const char* path, size_t limit, std::vector<std::string>* lines) {
  lines->clear();
  FILE* file = fopen(path, "rb");
  if (!file) return 0;
  std::string line;
  int c = 0;
  while (lines->size() < limit) {
    line.clear();
    while ((c = getc(file)) != EOF && c != '\n')
      if (line.size() < PRINT_LINE_CHARS_MAX) line.push_back(static_cast<char>(c));
    if (c == EOF && line.empty()) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back(line);
    if (c == EOF) break;
  }
  fclose(file);
  return 1;
}
