// A fresh machine hive on Windows: the settings key of the real registry
// (of the Wine prefix the tests run in) emptied, Access rules included.
#include "platform/registry_store.h"
#include "tests/unit/test_support.h"

std::string point_store_at_fresh_hive() {
  store_delete_key(HIVE_MACHINE, "Software\\Orvanel\\Kestrel");
  return store_file_path(HIVE_MACHINE) + "\\Software\\Orvanel\\Kestrel";
}

std::string in_text_mode(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}
