#include "desktop/log_viewer.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/printable.h"
#include "core/transfer_log.h"

std::string current_log_file_name(time_t now, int daily) {
  struct tm local;
  localtime_r(&now, &local);
  char name[32];
  strftime(name, sizeof name, daily ? "tftp%y%m%d.log" : "tftp%y%m.log", &local);
  return name;
}

static int is_log_file_name(const char* name) {
  size_t n = strlen(name);
  return n >= 8 && strncasecmp(name, "tftp", 4) == 0 && strcasecmp(name + n - 4, ".log") == 0;
}

size_t list_log_files(const char* directory, std::vector<std::string>* names) {
  names->clear();
  int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return 0;
  }
  for (int n = 0; n < 100000; n++) {  // bounded, whatever the directory holds
    dirent* entry = readdir(dir);
    if (!entry) break;
    if (!is_log_file_name(entry->d_name)) continue;
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      names->push_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names->begin(), names->end());
  return names->size();
}

void log_file_choices(const char* directory, time_t now, int daily, std::vector<std::string>* names,
                      size_t* selected) {
  std::string current = current_log_file_name(now, daily);
  if (list_log_files(directory, names) == 0) names->push_back(current);
  *selected = 0;
  for (size_t i = 0; i < names->size(); i++)
    if ((*names)[i] == current) *selected = i;
}

std::string_view strip_line_end(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

int is_listed_log_line(std::string_view line) {
  // The minimum counts the line end as one character, as the file's text
  // would be read on the system the log format comes from.
  if (line.size() + 1 < LOG_MIN_LINE) return 0;
  if (static_cast<signed char>(line[20]) >= 'a') return 0;  // trace lines: a word at offset 20
  std::string header = std::string(" ") + PRODUCT_TITLE + " log started";
  if (line.substr(19) == header) return 0;
  return 1;
}

// How far a line's columns after the address lie right of their places: an
// IPv6 address longer than the column's 15 characters widens its line.
static size_t address_overflow(std::string_view line) {
  size_t start = LOG_FIELD_OFFSETS[3];
  size_t width = LOG_FIELD_OFFSETS[4] - 1 - start;
  if (line.size() <= start) return 0;
  size_t end = line.find(' ', start);
  if (end == std::string_view::npos) end = line.size();
  return end - start > width ? end - start - width : 0;
}

log_row log_row_of(std::string_view line) {
  log_row row;
  size_t shift = address_overflow(line);
  size_t operation = LOG_FIELD_OFFSETS[4] + shift;
  std::string_view at20 = line.size() > 21 ? line.substr(20, 2) : std::string_view();
  if (at20 == " A" || at20 == " E" || at20 == " T") {
    row.image = LOG_IMAGE_FAILED;
  } else {
    row.image = line.size() > operation && (line[operation] == 'G' || line[operation] == 'P') ? LOG_IMAGE_DONE
                                                                                              : LOG_IMAGE_FAILED;
  }
  for (int i = 0; i < 6; i++) {
    size_t start = LOG_FIELD_OFFSETS[i] + (i >= 4 ? shift : 0);
    size_t end = i < 5 ? LOG_FIELD_OFFSETS[i + 1] + (i >= 3 ? shift : 0) - 1 : line.size();
    if (start >= line.size()) continue;
    if (end > line.size()) end = line.size();
    std::string_view field = line.substr(start, end - start);
    while (!field.empty() && (field.back() == ' ' || field.back() == '\r')) field.remove_suffix(1);
    // A file name or error text a client sent may hold control bytes, also
    // in a log written before the server escaped them.
    row.columns[i] = printable_text(field);
  }
  return row;
}

size_t load_log_file(const char* path, std::vector<log_row>* rows) {
  FILE* file = fopen(path, "rb");
  if (!file) return 0;
  size_t added = 0;
  std::string line;
  int c = 0;
  while (c != EOF && rows->size() < LOG_ROWS_MAX) {
    line.clear();
    while ((c = getc(file)) != EOF && c != '\n')
      if (line.size() < LOG_LINE_MAX) line.push_back(static_cast<char>(c));
    if (c == EOF && line.empty()) break;
    std::string_view text = strip_line_end(line);
    if (!is_listed_log_line(text)) continue;
    rows->push_back(log_row_of(text));
    added++;
  }
  fclose(file);
  return added;
}
