// Log file naming, switching and line format.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/printable.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "platform/event_log.h"
#include "platform/program_path.h"
#include "tests/unit/test_support.h"

namespace {

time_t fake_now = 0;
time_t fake_clock(time_t* out) {
  if (out) *out = fake_now;
  return fake_now;
}

time_t local_time(int year, int month, int day, int hour, int minute, int second) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return mktime(&t);
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_fresh_store();
    char dir[4096];
    ASSERT_GT(module_directory(dir, sizeof dir), 0u);
    directory = dir;
    log_clock = fake_clock;
    Log = 2;
    CreateLog = 1;
  }
  void TearDown() override {
    close_log();
    log_clock = time;
    for (const std::string& name : created) std::remove((directory + name).c_str());
  }
  std::string file(const std::string& name) {
    created.push_back(name);
    std::ifstream in(directory + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool exists(const std::string& name) {
    created.push_back(name);
    return access((directory + name).c_str(), F_OK) == 0;
  }
  std::string directory;
  std::vector<std::string> created;
};

TEST_F(LogTest, NamesPerDayAndPerMonth) {
  struct tm t {};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 6;
  char name[32];
  log_file_name(&t, 1, name, sizeof name);
  EXPECT_STREQ(name, "tftp261206.log");
  log_file_name(&t, 0, name, sizeof name);
  EXPECT_STREQ(name, "tftp2612.log");
}

TEST_F(LogTest, DailyFilesSwitchAtTheFirstLineOfANewDayAlsoTenDaysLater) {
  std::remove((directory + "tftp261201.log").c_str());
  std::remove((directory + "tftp261202.log").c_str());
  std::remove((directory + "tftp261212.log").c_str());
  fake_now = local_time(2026, 12, 1, 23, 59, 59);
  reopen_log();
  log_line(1, 1, " first\n");
  fake_now = local_time(2026, 12, 2, 0, 0, 1);
  log_line(1, 1, " still the old file until the log is reopened\n");
  reopen_log();
  log_line(1, 1, " second\n");
  // Ten days later the last digit of the day is the same again.
  fake_now = local_time(2026, 12, 12, 8, 0, 0);
  reopen_log();
  log_line(1, 1, " third\n");
  close_log();

  EXPECT_EQ(file("tftp261201.log"),
            in_text_mode("\n2026-12-01 23:59:59 Orvanel TFTP Server 1.4.5 log started\n"
                         "2026-12-01 23:59:59 first\n"
                         "2026-12-02 00:00:01 still the old file until the log is reopened\n"));
  EXPECT_EQ(file("tftp261202.log"),
            in_text_mode("\n2026-12-02 00:00:01 Orvanel TFTP Server 1.4.5 log started\n"
                         "2026-12-02 00:00:01 second\n"));
  EXPECT_NE(file("tftp261212.log").find(in_text_mode("2026-12-12 08:00:00 third\n")), std::string::npos);
}

TEST_F(LogTest, MonthlyFileHasNoHeaderAtLevelOneAndLevelsFilterLines) {
  CreateLog = 0;
  Log = 1;
  std::remove((directory + "tftp2701.log").c_str());
  fake_now = local_time(2027, 1, 31, 12, 0, 0);
  reopen_log();
  log_line(1, 1, " %7us %-15s %-10s %s\n", 3u, "10.0.0.1", "Get/octet", "/srv/x");
  log_line(2, 1, " not written at level 1\n");
  fake_now = local_time(2027, 1, 1, 0, 0, 0);
  reopen_log();
  log_line(1, 1, " same month, same file\n");
  // A client's name cannot forge a line nor reach a terminal: every control
  // byte is spelled out, backslashes and bytes above 0x7f are kept.
  log_line(1, 1, " %7us %-15s %-10s %s\n", 1u, "10.0.0.2", "Get/octet",
           "a\r\n1999-01-01 00:00:00       1s 10.6.6.6        Get/octet  /FORGED\x1b[2J\t\x7f\\\xc3\xa9");
  close_log();
  EXPECT_EQ(file("tftp2701.log"),
            in_text_mode("2027-01-31 12:00:00       3s 10.0.0.1        Get/octet  /srv/x\n"
                         "2027-01-01 00:00:00 same month, same file\n"
                         "2027-01-01 00:00:00       1s 10.0.0.2        Get/octet  a\\x0d\\x0a1999-01-01 00:00:00       1s "
                         "10.6.6.6        Get/octet  /FORGED\\x1b[2J\\x09\\x7f\\\xc3\xa9\n"));
}

TEST_F(LogTest, LevelZeroCreatesNoFile) {
  Log = 0;
  fake_now = local_time(2027, 2, 3, 4, 5, 6);
  std::remove((directory + "tftp270203.log").c_str());
  reopen_log();
  log_line(0, 1, " nothing\n");
  EXPECT_FALSE(exists("tftp270203.log"));
  EXPECT_EQ(log_stream, nullptr);
}

int64_t fake_second = 0;
int64_t fake_monotonic() { return fake_second; }

// Refusal lines are limited per second of the monotonic clock; the count of
// those left out comes before the next line of a later second, and other
// lines are never held back.
TEST_F(LogTest, RefusalLinesAreLimitedPerSecondAndCounted) {
  CreateLog = 0;
  Log = 1;  // no header line
  int64_t (*saved_clock)() = refusal_clock;
  refusal_clock = fake_monotonic;
  fake_now = local_time(2027, 3, 4, 5, 6, 7);
  std::remove((directory + "tftp2703.log").c_str());
  reopen_log();
  Log = 2;
  fake_second = 1000;
  for (unsigned i = 0; i < LOG_REFUSALS_PER_SECOND + 20; i++) log_refusal_line(1, 1, " refused %u\n", i);
  log_refusal_line(3, 1, " above the level: neither written nor counted\n");
  log_line(1, 1, " result, same second\n");
  fake_second = 1001;
  log_refusal_line(2, 0, " next second\n");
  fake_second = 1005;
  for (unsigned i = 0; i < LOG_REFUSALS_PER_SECOND + 3; i++) log_refusal_line(1, 1, " again %u\n", i);
  fake_second = 1006;
  log_line(1, 1, " result, later second\n");
  fake_second = 1007;
  for (unsigned i = 0; i < LOG_REFUSALS_PER_SECOND + 1; i++) log_refusal_line(1, 1, " last %u\n", i);
  close_log();  // reports what is still pending
  refusal_clock = saved_clock;

  std::string text = file("tftp2703.log");
  std::vector<std::string> lines;
  const std::string end_of_line = in_text_mode("\n");
  for (size_t at = 0, end; (end = text.find(end_of_line, at)) != std::string::npos; at = end + end_of_line.size())
    lines.push_back(text.substr(at + 20, end - at - 20));  // without the time stamp
  ASSERT_EQ(lines.size(), 3 * LOG_REFUSALS_PER_SECOND + 6);
  EXPECT_EQ(lines[0], "refused 0");
  EXPECT_EQ(lines[LOG_REFUSALS_PER_SECOND - 1], "refused 49");
  size_t i = LOG_REFUSALS_PER_SECOND;
  EXPECT_EQ(lines[i++], "result, same second");
  EXPECT_EQ(lines[i++], "20 refusal log lines suppressed");
  EXPECT_EQ(lines[i++], "next second");
  EXPECT_EQ(lines[i], "again 0");
  i += LOG_REFUSALS_PER_SECOND;
  EXPECT_EQ(lines[i++], "3 refusal log lines suppressed") << "before any line of a later second";
  EXPECT_EQ(lines[i++], "result, later second");
  EXPECT_EQ(lines[i], "last 0");
  i += LOG_REFUSALS_PER_SECOND;
  EXPECT_EQ(lines[i++], "1 refusal log lines suppressed") << "at close";
  EXPECT_EQ(i, lines.size());
}

TEST(PrintableText, EscapesControlBytesAndStopsBeforeAnEscapeThatDoesNotFit) {
  EXPECT_EQ(printable_text(std::string("a\0b\x1f\x20~\x7f\x80", 8)), "a\\x00b\\x1f ~\\x7f\x80");
  char out[6];
  EXPECT_EQ(escape_control_bytes("ab\ncd", 5, out, sizeof out), 2u);
  EXPECT_STREQ(out, "ab");
  EXPECT_EQ(escape_control_bytes("\n", 1, out, sizeof out), 4u);
  EXPECT_STREQ(out, "\\x0a");
}

}  // namespace

int open_failures = 0;
std::string open_failure_text;
void count_open_failure(const char* path, const char* reason) {
  open_failures++;
  open_failure_text = std::string(path) + ": " + reason;
}

// A log file that cannot be opened is said once, tried again at the next
// line, and said again only after an open succeeded in between.
TEST_F(LogTest, AFileThatCannotBeOpenedIsReportedOnceUntilItOpensAgain) {
  void (*saved)(const char*, const char*) = log_open_failure_report;
  log_open_failure_report = count_open_failure;
  open_failures = 0;
  CreateLog = 0;
  Log = 1;
  // A directory where the file should be: no user, not even root, opens it.
  std::string blocked = directory + "tftp2801.log", blocked_later = directory + "tftp2803.log";
  ASSERT_TRUE(std::filesystem::create_directory(blocked));
  ASSERT_TRUE(std::filesystem::create_directory(blocked_later));
  fake_now = local_time(2028, 1, 10, 0, 0, 0);
  reopen_log();
  log_line(1, 1, " lost\n");
  reopen_log();
  reopen_log();
  EXPECT_EQ(open_failures, 1);
  EXPECT_EQ(open_failure_text.rfind(blocked + ": ", 0), 0u) << open_failure_text;
  EXPECT_EQ(Log, 1u) << "the level stays: the next line tries again";
  fake_now = local_time(2028, 2, 10, 0, 0, 0);
  reopen_log();
  log_line(1, 1, " written\n");
  fake_now = local_time(2028, 3, 10, 0, 0, 0);
  reopen_log();
  reopen_log();
  EXPECT_EQ(open_failures, 2);
  close_log();
  EXPECT_EQ(file("tftp2802.log"), in_text_mode("2028-02-10 00:00:00 written\n"));
  std::filesystem::remove(blocked);
  std::filesystem::remove(blocked_later);
  log_open_failure_report = saved;
}

// The journal's priority of each line of the catalogue: results info,
// failures warning; start-up failures are written with their kind.
TEST(LogKind, ResultsAreInformationFailuresWarningsStartFailuresErrors) {
  EXPECT_EQ(log_line_kind("       3s 10.0.0.1        Get/octet  /srv/x\n"), LOG_KIND_INFO);
  EXPECT_EQ(log_line_kind("  Timeout 10.0.0.1        Get/octet  /srv/x\n"), LOG_KIND_FAILURE);
  EXPECT_EQ(log_line_kind("  Abort   10.0.0.1        Get/octet  0 cancelled /srv/x\n"), LOG_KIND_FAILURE);
  EXPECT_EQ(log_line_kind("  Error   10.0.0.1        Get        1 File not found /srv/x\n"), LOG_KIND_FAILURE);
  EXPECT_EQ(log_line_kind("  Error   request from 10.0.0.1 ignored, 10\n"), LOG_KIND_FAILURE);
  EXPECT_EQ(log_line_kind(" TFTP  sent block 7 512 failed\n"), LOG_KIND_FAILURE);
  EXPECT_EQ(log_line_kind(" TFTP  Error data connection failed\n"), LOG_KIND_FAILURE);
  EXPECT_EQ(log_line_kind(" Ready on TFTP port 69\n"), LOG_KIND_INFO);
  EXPECT_EQ(log_line_kind(" Request from 10.0.0.1\n"), LOG_KIND_INFO);
  EXPECT_EQ(log_line_kind(" TFTP Get Name /srv/x failed.bin Mode octet\n"), LOG_KIND_INFO);
  EXPECT_EQ(log_line_kind("       0s 10.0.0.1        Put/octet  /srv/upload failed\n"), LOG_KIND_INFO)
      << "a file's name never makes a result a failure";
  EXPECT_EQ(log_line_kind(""), LOG_KIND_INFO);
  EXPECT_EQ(log_kind_priority(LOG_KIND_INFO), 6);
  EXPECT_EQ(log_kind_priority(LOG_KIND_FAILURE), 4);
  EXPECT_EQ(log_kind_priority(LOG_KIND_START_FAILURE), 3);
}

// The form in which a journal stream takes a line's priority (Linux; the
// Windows build has no journal stream and writes nothing).
TEST(JournalLine, PriorityPrefixThenTheTextAndOneLineEnd) {
  char out[64];
  EXPECT_EQ(format_journal_line(4, "  Timeout 10.0.0.1", 18, out, sizeof out), 22u);
  EXPECT_STREQ(out, "<4>  Timeout 10.0.0.1\n");
  // Cut to fit, the line end kept.
  EXPECT_EQ(format_journal_line(6, "abcdefghij", 10, out, 8), 7u);
  EXPECT_STREQ(out, "<6>abc\n");
  EXPECT_EQ(format_journal_line(3, "abc", 3, out, 4), 0u);
  EXPECT_STREQ(out, "");
}
