// Cost of one store_read_value on a warm cache with a hive of about fifty
// values, as the server pays it for every request.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <time.h>
#include <unistd.h>

#include <filesystem>

#include "platform/registry_store.h"

namespace {

long long now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  long iterations = argc > 1 ? std::atol(argv[1]) : 1000000;
  if (iterations < 1 || iterations > 100000000) iterations = 1000000;
  char tmpl[] = "/tmp/orvanel-store-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = tmpl;
  setenv("ORVANEL_HKLM", (dir + "/hklm.reg").c_str(), 1);

  const char* kestrel = "Software\\Orvanel\\Kestrel";
  const char* access = "Software\\Orvanel\\Kestrel\\Access";
  int ok = 1;
  for (int i = 0; i < 30; ++i)
    ok &= store_write_value(HIVE_MACHINE, kestrel, "Setting" + std::to_string(i), "value " + std::to_string(i));
  for (int i = 0; i < 20; ++i)
    ok &= store_write_value(HIVE_MACHINE, access, "dir" + std::to_string(i) + "\\0", "rw,10.0.0.1-10.0.0.9");
  ok &= store_write_value(HIVE_MACHINE, access, "%root%\\0", "r");

  // The last value of the last key: the longest search.
  std::string out;
  long found = 0;
  long long start = now_ns();
  for (long i = 0; i < iterations; ++i) found += store_read_value(HIVE_MACHINE, access, "%ROOT%\\0", &out);
  long long spent = now_ns() - start;

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (!ok || found != iterations || out != "r") {
    std::fprintf(stderr, "reads failed: ok=%d found=%ld of %ld, value \"%s\"\n", ok, found, iterations, out.c_str());
    return 1;
  }
  std::printf("store_read_value, warm cache, 51 values: %.0f ns per call (%ld calls)\n",
              static_cast<double>(spent) / static_cast<double>(iterations), iterations);
  return 0;
}
