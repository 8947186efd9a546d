// The pelican-tftp program's progress line and the 64-bit count behind it.
#include "client/transfer_count.h"
#include "client/progress_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr uint64_t GIB = 1ull << 30;

TEST(ProgressLine, SizesInBinaryUnits) {
  EXPECT_EQ(byte_size_text(0), "0 B");
  EXPECT_EQ(byte_size_text(1023), "1023 B");
  EXPECT_EQ(byte_size_text(1536), "1.5 KiB");
  EXPECT_EQ(byte_size_text(1024 * 1024 - 1), "1.0 MiB");  // not "1024.0 KiB"
  EXPECT_EQ(byte_size_text(5 * GIB), "5.0 GiB");
  EXPECT_EQ(duration_text(0), "0:00");
  EXPECT_EQ(duration_text(61), "1:01");
  EXPECT_EQ(duration_text(3723), "1:02:03");
}

TEST(ProgressLine, TotalShareRateAndTimeLeftBeyond4GiB) {
  // 4.5 of 5 GiB after 10 s: 460.8 MiB/s, 0.5 GiB left takes 1.11 s.
  EXPECT_EQ(progress_line(GIB * 9 / 2, 5 * GIB, 1, 10000),
            "4.5 GiB / 5.0 GiB  90%  460.8 MiB/s  0:02 left");
  EXPECT_EQ(progress_line(5 * GIB, 5 * GIB, 1, 10000), "5.0 GiB / 5.0 GiB  100%  512.0 MiB/s  0:00 left");
  // No size from the server: bytes and rate only.
  EXPECT_EQ(progress_line(6 * GIB, 0, 0, 2000), "6.0 GiB  3.0 GiB/s");
  // No time passed yet: no rate, no time left.
  EXPECT_EQ(progress_line(512, 2048, 1, 0), "512 B / 2.0 KiB  25%");
  // A size the transfer has passed is no total.
  EXPECT_EQ(progress_line(4096, 1024, 1, 1000), "4.0 KiB  4.0 KiB/s");
  EXPECT_EQ(progress_line(0, 0, 1, 1000), "0 B / 0 B  100%  0 B/s");
}

TEST(ProgressLine, RedrawCoversALongerLineBefore) {
  std::size_t width = 0;
  EXPECT_EQ(progress_redraw("abcdef", width), "\rabcdef");
  EXPECT_EQ(width, 6u);
  EXPECT_EQ(progress_redraw("xy", width), "\rxy    ");
  EXPECT_EQ(width, 2u);
}

const client_transfer* reported = nullptr;
int reports = 0;
void remember(const client_transfer& transfer) {
  reported = &transfer;
  reports++;
}

TEST(CountMoved, CountsPast4GiBAndTellsTheProgram) {
  client_transfer transfer{};
  transfer.bytes_moved = 4 * GIB - 100;
  count_moved(transfer, 512);
  EXPECT_EQ(transfer.bytes_moved, 4 * GIB + 412);
  progress_report = remember;
  count_moved(transfer, 1);
  progress_report = nullptr;
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(reported, &transfer);
  EXPECT_EQ(transfer.bytes_moved, 4 * GIB + 413);
}

}  // namespace
