// Settings store parser: any bytes parse without fault, and what is written
// back from them reads back as the same document and the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/registry_store.h"

namespace {

int same_document(const store_document& a, const store_document& b) {
  if (a.keys.size() != b.keys.size()) return 0;
  for (size_t i = 0; i < a.keys.size(); ++i) {
    const store_key& x = a.keys[i];
    const store_key& y = b.keys[i];
    if (x.path != y.path || x.values.size() != y.values.size()) return 0;
    for (size_t j = 0; j < x.values.size(); ++j) {
      const store_value& v = x.values[j];
      const store_value& w = y.values[j];
      if (v.name != w.name || v.type != w.type || v.data != w.data || v.raw != w.raw) return 0;
    }
  }
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  store_document first;
  store_parse(text, &first);
  for (int hive : {HIVE_MACHINE, HIVE_USER}) {
    std::string once = store_format(first, hive);
    store_document second;
    store_parse(once, &second);
    if (!same_document(first, second)) std::abort();
    if (store_format(second, hive) != once) std::abort();
  }
  return 0;
}
