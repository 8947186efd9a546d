// The pages of a printed log: headers, lines per page, copies, and the
// page that carries only its header.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "desktop/print_layout.h"
#include "tests/unit/test_support.h"

namespace {

// "page:first+count" of every sheet in print order.
std::vector<std::string> sheets(const print_plan& plan) {
  std::vector<std::string> out;
  for (size_t i = 0; i < print_sheet_count(plan); i++) {
    const print_sheet& s = print_sheet_at(plan, i);
    out.push_back(std::to_string(s.page) + ":" + std::to_string(s.first_line) + "+" + std::to_string(s.line_count));
  }
  return out;
}

TEST(PrintLayout, PagesEndOneReadAfterTheLastLine) {
  print_plan plan = plan_print("tftp2612.log", 100, PRINT_LINE_LIMIT, 62, 1, 1);
  EXPECT_EQ(sheets(plan), (std::vector<std::string>{"1:0+62", "2:62+38"}));
  EXPECT_EQ(plan.pages[0].header, "tftp2612.log  --  1");
  EXPECT_EQ(plan.pages[1].header, "tftp2612.log  --  2");
  // An exact multiple: one more page with only its header.
  EXPECT_EQ(sheets(plan_print("f", 124, PRINT_LINE_LIMIT, 62, 1, 1)),
            (std::vector<std::string>{"1:0+62", "2:62+62", "3:124+0"}));
  EXPECT_EQ(sheets(plan_print("f", 0, PRINT_LINE_LIMIT, 62, 1, 1)), std::vector<std::string>{"1:0+0"});
  EXPECT_EQ(sheets(plan_print("f", 1, PRINT_LINE_LIMIT, 62, 1, 1)), std::vector<std::string>{"1:0+1"});
}

TEST(PrintLayout, TheLineLimitEndsOnThePageItIsReached) {
  EXPECT_EQ(sheets(plan_print("f", 500, 124, 62, 1, 1)), (std::vector<std::string>{"1:0+62", "2:62+62"}));
  EXPECT_EQ(sheets(plan_print("f", 124, 124, 62, 1, 1)), (std::vector<std::string>{"1:0+62", "2:62+62"}));
  EXPECT_EQ(sheets(plan_print("f", 100, 70, 62, 1, 1)), (std::vector<std::string>{"1:0+62", "2:62+8"}));
  // "No limit" is capped at 30000 lines.
  print_plan plan = plan_print("f", 1000000, static_cast<size_t>(-1), 100, 1, 1);
  ASSERT_EQ(plan.pages.size(), 300u);
  EXPECT_EQ(plan.pages.back().first_line + plan.pages.back().line_count, PRINT_LINE_LIMIT);
  EXPECT_EQ(print_sheet_count(plan_print("f", 100, 0, 62, 1, 1)), 0u) << "a limit of 0 prints nothing";
  EXPECT_EQ(print_sheet_at(plan_print("f", 100, 0, 62, 1, 1), 0).page, 0u);
}

TEST(PrintLayout, CollatedAndUncollatedCopies) {
  EXPECT_EQ(sheets(plan_print("f", 100, PRINT_LINE_LIMIT, 62, 2, 0)),
            (std::vector<std::string>{"1:0+62", "1:0+62", "2:62+38", "2:62+38"}));
  EXPECT_EQ(sheets(plan_print("f", 100, PRINT_LINE_LIMIT, 62, 2, 1)),
            (std::vector<std::string>{"1:0+62", "2:62+38", "1:0+62", "2:62+38"}));
  EXPECT_EQ(print_sheet_count(plan_print("f", 100, PRINT_LINE_LIMIT, 62, 0, 1)), 2u) << "no copies is one";
  print_plan many = plan_print("f", PRINT_LINE_LIMIT, PRINT_LINE_LIMIT, 1, 9999, 0);
  EXPECT_EQ(print_sheet_count(many), 30000u * 9999u);
  EXPECT_EQ(print_sheet_at(many, print_sheet_count(many) - 1).page, 30000u);
}

TEST(PrintLayout, LinesPerPageLeaveRoomForTheHeader) {
  EXPECT_EQ(print_lines_per_page(6400, 100), 62u);
  EXPECT_EQ(print_lines_per_page(6499, 100), 62u);
  EXPECT_EQ(print_lines_per_page(250, 100), 1u) << "a page shorter than the header still moves on";
  EXPECT_EQ(print_lines_per_page(6400, 0), 1u);
  EXPECT_EQ(print_lines_per_page(-5, 10), 1u);
}

TEST(PrintLayout, LinesAreReadWithoutTheirLineEnds) {
  std::string path = make_temp_dir() + "tftp2612.log";
  std::ofstream(path, std::ios::binary) << "one\r\ntwo\n\r\nthree";
  std::vector<std::string> lines;
  ASSERT_EQ(read_print_lines(path.c_str(), 100, &lines), 1);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "", "three"}));
  ASSERT_EQ(read_print_lines(path.c_str(), 2, &lines), 1);
  EXPECT_EQ(lines.size(), 2u);
  EXPECT_EQ(read_print_lines((path + ".missing").c_str(), 100, &lines), 0);
}

}  // namespace
