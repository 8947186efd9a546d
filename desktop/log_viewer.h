// The log viewer without a window: which transfer log files there are, which
// lines of one are listed, and the seven columns of a listed line.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// Row images.
enum { LOG_IMAGE_DONE = 0, LOG_IMAGE_FAILED = 1 };

constexpr size_t LOG_MIN_LINE = 55;     // with its line end: shorter lines are no result lines
constexpr size_t LOG_LINE_MAX = 4096;   // longer lines are cut there, their rest dropped
constexpr size_t LOG_ROWS_MAX = 1000000;

// Where each text column starts in a line; a column ends one character
// before the next one starts, the last at the end of the line.
constexpr size_t LOG_FIELD_OFFSETS[6] = {0, 11, 20, 29, 45, 56};

struct log_row {
  int image;                // LOG_IMAGE_DONE or LOG_IMAGE_FAILED
  std::string columns[6];   // Date, Time, Duration, IP Address, Operation, File
};

// "tftp%y%m%d.log" (daily) or "tftp%y%m.log" of the local time now.
std::string current_log_file_name(time_t now, int daily);

// The regular files named "tftp*.log" (letter case ignored) in directory,
// sorted; links are not followed. Returns their number.
size_t list_log_files(const char* directory, std::vector<std::string>* names);

// The drop-down list: the files found, or only the current name when there
// are none; *selected is the current name's index, or 0 when it is absent.
void log_file_choices(const char* directory, time_t now, int daily, std::vector<std::string>* names,
                      size_t* selected);

// The line without its line end (CR LF, or LF alone).
std::string_view strip_line_end(std::string_view line);

// 1 when the line (without its line end) is a result line to list: long
// enough, not a trace line (a lower-case letter at offset 20), not the
// header that opens a log file.
int is_listed_log_line(std::string_view line);

// The row of a listed line: its image and its six text columns, each cut at
// the fixed offsets, trailing blanks dropped, control bytes spelt \xHH.
log_row log_row_of(std::string_view line);

// Appends the rows of every listed line of the file. Returns the rows added;
// 0 when the file cannot be opened.
size_t load_log_file(const char* path, std::vector<log_row>* rows);
