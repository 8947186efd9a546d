// Several writers on one hive, in other processes and in threads: nothing is
// lost, and no reader ever sees a file that is only partly written.
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/store/store_test_util.h"

namespace {

using StoreConcurrency = StoreTest;

constexpr int WRITES_PER_WRITER = 200;

std::string value_name(int writer, int i) { return "w" + std::to_string(writer) + "_" + std::to_string(i); }

int write_many(int writer, int count) {
  for (int i = 0; i < count; ++i)
    if (!store_write_value(HIVE_MACHINE, ACCESS, value_name(writer, i), std::to_string(i * 7))) return 0;
  return 1;
}

void expect_all_present(int writers, int count) {
  std::vector<store_value> values;
  ASSERT_EQ(store_list_key(HIVE_MACHINE, ACCESS, &values, nullptr), 1);
  EXPECT_EQ(values.size(), static_cast<size_t>(writers * count));
  for (int w = 0; w < writers; ++w) {
    for (int i = 0; i < count; ++i) {
      std::string out;
      ASSERT_EQ(store_read_value(HIVE_MACHINE, ACCESS, value_name(w, i), &out), 1) << value_name(w, i);
      EXPECT_EQ(out, std::to_string(i * 7));
    }
  }
}

std::vector<std::string> directory_entries(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") out.push_back(name);
  }
  closedir(d);
  return out;
}

// Reads until told to stop. Writers only add values, so the count seen
// through the store or in the raw file never goes down; a half-written file
// would show fewer values or lack the closing blank line.
void watch(const std::string& path, const std::atomic<int>* stop, std::atomic<int>* reads, std::string* fault) {
  size_t last_store = 0, last_file = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (int n = 0; n < 1000000 && !stop->load() && std::chrono::steady_clock::now() < deadline; ++n) {
    std::vector<store_value> values;
    if (store_list_key(HIVE_MACHINE, ACCESS, &values, nullptr)) {
      if (values.size() < last_store) *fault = "store count went down";
      last_store = values.size();
    }
    std::string text = read_text(path);
    if (!text.empty()) {
      if (text.compare(0, 10, "REGEDIT4\n\n") != 0 || text.size() < 12 ||
          text.compare(text.size() - 2, 2, "\n\n") != 0)
        *fault = "incomplete file of " + std::to_string(text.size()) + " bytes";
      store_document doc;
      store_parse(text, &doc);
      size_t count = doc.keys.empty() ? 0 : doc.keys[0].values.size();
      if (count < last_file) *fault = "file count went down";
      last_file = count;
    }
    reads->fetch_add(1);
    if (!fault->empty()) return;
  }
}

TEST_F(StoreConcurrency, TwoProcessesLoseNoWriteAndReadersSeeWholeFiles) {
  // Forked before any thread exists.
  pid_t children[2];
  for (int w = 0; w < 2; ++w) {
    children[w] = fork();
    ASSERT_GE(children[w], 0);
    if (children[w] == 0) _exit(write_many(w, WRITES_PER_WRITER) ? 0 : 1);
  }

  std::atomic<int> stop{0}, reads{0};
  std::string faults[2];
  std::thread readers[2];
  for (int r = 0; r < 2; ++r) readers[r] = std::thread(watch, hklm_, &stop, &reads, &faults[r]);

  for (pid_t pid : children) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  stop.store(1);
  for (std::thread& t : readers) t.join();

  EXPECT_EQ(faults[0], "");
  EXPECT_EQ(faults[1], "");
  EXPECT_GT(reads.load(), 2);
  expect_all_present(2, WRITES_PER_WRITER);

  // Only the hive and its lock file remain: no temporary files.
  std::vector<std::string> left = directory_entries(dir_ + "/machine");
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"hklm.reg", "hklm.reg.lock"}));
}

TEST_F(StoreConcurrency, ThreadsOfOneProcessLoseNoWrite) {
  constexpr int THREADS = 4, COUNT = 50;
  std::vector<std::thread> writers;
  std::atomic<int> failed{0};
  for (int w = 0; w < THREADS; ++w)
    writers.emplace_back([w, &failed] {
      if (!write_many(w, COUNT)) failed.fetch_add(1);
    });
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(failed.load(), 0);
  expect_all_present(THREADS, COUNT);

  // The file itself, not only this process's parsed copy, has them all.
  store_document doc;
  store_parse(read_text(hklm_), &doc);
  ASSERT_EQ(doc.keys.size(), 1u);
  EXPECT_EQ(doc.keys[0].values.size(), static_cast<size_t>(THREADS * COUNT));
}

}  // namespace
