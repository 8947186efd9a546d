// The log viewer's file list, line filter and columns.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "core/transfer_log.h"
#include "desktop/log_viewer.h"
#include "tests/unit/test_support.h"

namespace {

const char* const STAMP = "2026-12-08 07:26:01";

// The server's result and refusal lines, in its formats.
std::string done_line(const char* operation, const char* path, unsigned seconds = 3,
                      const char* address = "192.168.1.10") {
  char line[160];
  snprintf(line, sizeof line, "%s %7us %-15s %-10s ", STAMP, seconds, address, operation);
  return line + std::string(path);
}

std::string refused_line() {
  char line[512];
  snprintf(line, sizeof line, "%s  Error   %-15s %-10s %u %s %s", STAMP, "10.0.0.7", "Get", 1u, "File not found",
           "boot/x.img");
  return line;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

TEST(LogViewer, ColumnsAreCutAtTheFixedOffsetsWithoutTheLineEnd) {
  std::string line = done_line("Put/octet", "/srv/tftp/boot/x.img");
  ASSERT_TRUE(is_listed_log_line(line));
  log_row row = log_row_of(line);
  EXPECT_EQ(row.image, LOG_IMAGE_DONE);
  EXPECT_EQ(row.columns[0], "2026-12-08");
  EXPECT_EQ(row.columns[1], "07:26:01");
  EXPECT_EQ(row.columns[2], "      3s");
  EXPECT_EQ(row.columns[3], "192.168.1.10");
  EXPECT_EQ(row.columns[4], "Put/octet");
  EXPECT_EQ(row.columns[5], "/srv/tftp/boot/x.img");
  EXPECT_EQ(log_row_of(done_line("Get/ascii", "a")).image, LOG_IMAGE_DONE);
  EXPECT_EQ(log_row_of(done_line("Xyz/octet", "a")).image, LOG_IMAGE_FAILED);

  row = log_row_of(refused_line());
  EXPECT_EQ(row.image, LOG_IMAGE_FAILED);
  EXPECT_EQ(row.columns[2], " Error");
  EXPECT_EQ(row.columns[3], "10.0.0.7");
  EXPECT_EQ(row.columns[4], "Get");
  EXPECT_EQ(row.columns[5], "1 File not found boot/x.img");

  // A long IPv6 address widens its line: the later columns move with it.
  row = log_row_of(done_line("Get/octet", "a b", 3, "2001:db8:aaaa:bbbb::17"));
  EXPECT_EQ(row.image, LOG_IMAGE_DONE);
  EXPECT_EQ(row.columns[3], "2001:db8:aaaa:bbbb::17");
  EXPECT_EQ(row.columns[4], "Get/octet");
  EXPECT_EQ(row.columns[5], "a b");
  row = log_row_of(done_line("Put/octet", "b", 3, "fe80::1"));
  EXPECT_EQ(row.columns[3], "fe80::1");
  EXPECT_EQ(row.columns[4], "Put/octet");

  EXPECT_EQ(strip_line_end("abc\r\n"), "abc");
  EXPECT_EQ(strip_line_end("abc\n"), "abc");
  EXPECT_EQ(strip_line_end("abc"), "abc");
}

TEST(LogViewer, OnlyResultLinesAreListed) {
  std::string dir = make_temp_dir();
  std::string header = std::string(STAMP) + " " + PRODUCT_TITLE + " log started";
  std::string trace = std::string(STAMP) + " request from 192.168.1.10 port 1024, options blksize 1428";
  std::string short_line = done_line("Get/octet", "").substr(0, LOG_MIN_LINE - 2);  // 54 with its line end
  std::string just_long = done_line("Get/octet", "").substr(0, LOG_MIN_LINE - 1);   // 55 with its line end
  std::string timeout = std::string(STAMP) + "  Timeout " + "10.0.0.9        Get/octet  boot/y.img";
  std::string abort_line = std::string(STAMP) + "  Abort   " + "10.0.0.9        Put/octet  disk full up.img";
  std::string text = "\r\n" + header + "\r\n" + trace + "\r\n" + short_line + "\r\n" + just_long + "\r\n" +
                     done_line("Get/octet", "a.bin") + "\r\n" + refused_line() + "\r\n" + timeout + "\r\n" +
                     abort_line + "\r\n" + done_line("Get/octet", "unterminated.bin");
  write_file(dir + "tftp2612.log", text);

  std::vector<log_row> rows;
  ASSERT_EQ(load_log_file((dir + "tftp2612.log").c_str(), &rows), 6u);
  EXPECT_EQ(rows[0].columns[4], "Get/octet");
  EXPECT_EQ(rows[0].columns[5], "");
  EXPECT_EQ(rows[1].columns[5], "a.bin");
  EXPECT_EQ(rows[3].columns[2], " Timeout");
  EXPECT_EQ(rows[3].image, LOG_IMAGE_FAILED);
  EXPECT_EQ(rows[4].columns[5], "disk full up.img");
  EXPECT_EQ(rows[4].image, LOG_IMAGE_FAILED);
  EXPECT_EQ(rows[5].columns[5], "unterminated.bin") << "the last line keeps its last character";
  for (const log_row& row : rows)
    for (const std::string& column : row.columns) EXPECT_EQ(column.find('\r'), std::string::npos) << column;

  // A line longer than the reader takes is one row, not several.
  rows.clear();
  write_file(dir + "tftp2611.log", done_line("Get/octet", std::string(5000, 'x').c_str()) + "\r\n" +
                                       done_line("Get/octet", "next.bin") + "\r\n");
  ASSERT_EQ(load_log_file((dir + "tftp2611.log").c_str(), &rows), 2u);
  EXPECT_EQ(rows[0].columns[5].size(), LOG_LINE_MAX - 56);
  EXPECT_EQ(rows[1].columns[5], "next.bin");

  rows.clear();
  EXPECT_EQ(load_log_file((dir + "missing.log").c_str(), &rows), 0u);
  EXPECT_TRUE(rows.empty());
}

// Linux writes its log with LF, Windows with CR LF, and a log may be copied
// from one to the other: the same lines give the same rows either way, also
// mixed, and the minimum length counts a line end as one character in both.
TEST(LogViewer, LfAndCrLfFilesGiveTheSameRows) {
  std::string dir = make_temp_dir();
  std::string short_line = done_line("Get/octet", "").substr(0, LOG_MIN_LINE - 2);
  std::string just_long = done_line("Get/octet", "").substr(0, LOG_MIN_LINE - 1);
  std::string trace = std::string(STAMP) + " request from 192.168.1.10 port 1024, options blksize 1428";
  std::vector<std::string> lines = {"",         std::string(STAMP) + " " + PRODUCT_TITLE + " log started",
                                    trace,      short_line,
                                    just_long,  done_line("Put/octet", "b.bin"),
                                    refused_line()};
  const char* ends[3][2] = {{"\r\n", "\r\n"}, {"\n", "\n"}, {"\n", "\r\n"}};  // CR LF, LF, mixed
  std::vector<std::vector<log_row>> results;
  for (auto& end : ends) {
    std::string text;
    for (size_t i = 0; i < lines.size(); i++) text += lines[i] + end[i % 2];
    write_file(dir + "tftp2701.log", text);
    std::vector<log_row> rows;
    EXPECT_EQ(load_log_file((dir + "tftp2701.log").c_str(), &rows), 3u) << end[0];
    results.push_back(rows);
  }
  ASSERT_EQ(results[0].size(), 3u);
  EXPECT_EQ(results[0][0].columns[4], "Get/octet") << "55 characters with CR LF or LF";
  EXPECT_EQ(results[0][1].columns[5], "b.bin");
  EXPECT_EQ(results[0][2].columns[5], "1 File not found boot/x.img");
  for (size_t r = 1; r < 3; r++) {
    ASSERT_EQ(results[r].size(), results[0].size());
    for (size_t i = 0; i < results[0].size(); i++) {
      EXPECT_EQ(results[r][i].image, results[0][i].image);
      for (int c = 0; c < 6; c++) EXPECT_EQ(results[r][i].columns[c], results[0][i].columns[c]) << r << " " << i;
    }
  }
}

TEST(LogViewer, ControlBytesOfNamesAndErrorTextsAreSpeltOut) {
  // Lines as a server wrote them before it escaped a client's bytes, in a
  // CR LF file: the escape sequence, a bare CR and DEL come out as \xHH,
  // the line end still goes.
  std::string dir = make_temp_dir();
  std::string error_line = refused_line();
  error_line.replace(error_line.find("File not found"), 14, "no\x1b]0;x\x07 such");
  write_file(dir + "tftp2610.log", done_line("Get/octet", "a\rb\x7f\tc\\d.bin") + "\r\n" + error_line + "\r\n");
  std::vector<log_row> rows;
  ASSERT_EQ(load_log_file((dir + "tftp2610.log").c_str(), &rows), 2u);
  EXPECT_EQ(rows[0].columns[5], "a\\x0db\\x7f\\x09c\\d.bin");
  EXPECT_EQ(rows[0].columns[4], "Get/octet");
  EXPECT_EQ(rows[1].columns[5], "1 no\\x1b]0;x\\x07 such boot/x.img");
  EXPECT_EQ(rows[1].image, LOG_IMAGE_FAILED);
  for (const log_row& row : rows)
    for (const std::string& column : row.columns)
      for (char c : column) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f) << column;
}

TEST(LogViewer, TheFileListHoldsLogFilesOnlyAndSelectsTheCurrentOne) {
  std::string dir = make_temp_dir();
  for (const char* name : {"tftp2612.log", "tftp2611.log", "TFTP261207.LOG", "tftp.txt", "other.log"})
    write_file(dir + name, "");
  ASSERT_EQ(mkdir((dir + "tftpdir.log").c_str(), 0755), 0);
  ASSERT_EQ(symlink("/etc/passwd", (dir + "tftplink.log").c_str()), 0);
  std::vector<std::string> names;
  ASSERT_EQ(list_log_files(dir.c_str(), &names), 3u);
  EXPECT_EQ(names, (std::vector<std::string>{"TFTP261207.LOG", "tftp2611.log", "tftp2612.log"}));

  // 2026-12-08 12:00 local time.
  struct tm noon {};
  noon.tm_year = 126;
  noon.tm_mon = 11;
  noon.tm_mday = 8;
  noon.tm_hour = 12;
  noon.tm_isdst = -1;
  time_t now = mktime(&noon);
  EXPECT_EQ(current_log_file_name(now, 0), "tftp2612.log");
  EXPECT_EQ(current_log_file_name(now, 1), "tftp261208.log");
  size_t selected = 99;
  log_file_choices(dir.c_str(), now, 0, &names, &selected);
  EXPECT_EQ(selected, 2u);
  // The day's file does not exist yet: the first of the list is selected.
  log_file_choices(dir.c_str(), now, 1, &names, &selected);
  EXPECT_EQ(names.size(), 3u);
  EXPECT_EQ(selected, 0u);
  // No log file at all: only the current name.
  log_file_choices(make_temp_dir().c_str(), now, 1, &names, &selected);
  EXPECT_EQ(names, std::vector<std::string>{"tftp261208.log"});
  EXPECT_EQ(selected, 0u);
}

}  // namespace
