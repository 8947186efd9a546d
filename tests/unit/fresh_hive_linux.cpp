// A fresh machine hive on Linux: a new empty store file of the test's own.
#include <stdlib.h>

#include "tests/unit/test_support.h"

std::string point_store_at_fresh_hive() {
  std::string path = make_temp_dir() + "hklm.reg";
  setenv("ORVANEL_HKLM", path.c_str(), 1);
  return path;
}

std::string in_text_mode(const std::string& text) { return text; }
