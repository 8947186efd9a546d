// Window placement read from and stored into a user store of the test's own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "core/settings.h"
#include "desktop/placement.h"
#include "desktop/user_registry.h"

namespace {

class Placement : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/placement-test-XXXXXX";
    directory = mkdtemp(pattern);
    setenv("ORVANEL_HKCU", (directory + "/hkcu.reg").c_str(), 1);
  }
  void TearDown() override {
    unlink((directory + "/hkcu.reg").c_str());
    unlink((directory + "/hkcu.reg.lock").c_str());
    rmdir(directory.c_str());
    unsetenv("ORVANEL_HKCU");
  }
  std::string directory;
};

TEST_F(Placement, DefaultsWhenNothingIsStored) {
  window_placement p = read_placement(1024, 768);
  EXPECT_EQ(p.left, PLACEMENT_DEFAULT);  // the marker always passes the screen test
  EXPECT_EQ(p.top, PLACEMENT_DEFAULT);
  EXPECT_EQ(p.width, 500);
  EXPECT_EQ(p.height, 250);
}

TEST_F(Placement, CoordinatesBeyondTheScreenFallBackTo0) {
  user_reg_write_number(SETTINGS_KEY, "left", 5000, 0);
  user_reg_write_number(SETTINGS_KEY, "top", 763, 0);
  window_placement p = read_placement(1024, 768);
  EXPECT_EQ(p.left, 0);
  EXPECT_EQ(p.top, 0);  // 763 + 5 is not less than 768
  user_reg_write_number(SETTINGS_KEY, "top", 762, 0);
  user_reg_write_number(SETTINGS_KEY, "left", INT_MAX, 0);  // + 5 must not wrap
  p = read_placement(1024, 768);
  EXPECT_EQ(p.top, 762);
  EXPECT_EQ(p.left, 0);
  user_reg_write_number(SETTINGS_KEY, "left", -8, 0);  // a window a little off the left edge stays
  EXPECT_EQ(read_placement(1024, 768).left, -8);
}

TEST_F(Placement, StoredAsSignedTextWithZeroDeleted) {
  window_placement p = {0, -20, 640, 0};
  store_placement(&p);
  char text[32];
  EXPECT_EQ(user_reg_read_string(SETTINGS_KEY, "left", "absent", text, sizeof text), 6u);
  EXPECT_STREQ(text, "absent");
  user_reg_read_string(SETTINGS_KEY, "top", "", text, sizeof text);
  EXPECT_STREQ(text, "-20");
  user_reg_read_string(SETTINGS_KEY, "width", "", text, sizeof text);
  EXPECT_STREQ(text, "640");
  window_placement back = read_placement(1024, 768);
  EXPECT_EQ(back.left, PLACEMENT_DEFAULT);
  EXPECT_EQ(back.top, -20);
  EXPECT_EQ(back.width, 640);
  EXPECT_EQ(back.height, 250);
  // Sizes below the window's minimum are raised; text that is no number is the default.
  user_reg_write_string(SETTINGS_KEY, "width", "12");
  user_reg_write_string(SETTINGS_KEY, "height", "tall");
  back = read_placement(1024, 768);
  EXPECT_EQ(back.width, WINDOW_MIN_WIDTH);
  EXPECT_EQ(back.height, 250);
  EXPECT_EQ(user_reg_read_number(SETTINGS_KEY, "left", 7), 7);
}

}  // namespace
