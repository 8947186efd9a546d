// Replacing all values of a key at once: readers in this process and in
// another one see the old set or the new one, never a mix or an empty key.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/store/store_test_util.h"

namespace {

using StoreReplace = StoreTest;
using value_set = std::map<std::string, std::string>;

// Two rule sets of different sizes that share some names, so that any
// interleaving of the two shows as a set equal to neither.
const value_set RULES_OLD = {{"%root%\\0", "r"}, {"%root%\\1", "rw,10.0.0.1-10.0.0.9"}, {"boot\\0", "rwo"}};
const value_set RULES_NEW = {
    {"%root%\\0", "w,192.168.0.1"}, {"boot\\0", "r"}, {"boot\\1", "rw,10.1.0.0-10.1.255.255"}, {"cfg\\0", "rw"}};

std::vector<store_value> values_of(const value_set& set) {
  std::vector<store_value> out;
  for (const auto& [name, text] : set) out.push_back(store_value{name, STORE_SZ, text, {}});
  return out;
}

// The key as the store shows it now; "missing" when it does not exist.
value_set read_set(int* exists) {
  std::vector<store_value> values;
  *exists = store_list_key(HIVE_MACHINE, ACCESS, &values, nullptr);
  value_set out;
  for (const store_value& v : values) out[v.name] = v.data;
  return out;
}

// Reads the key in a bounded loop until stop is set. Returns the number of
// reads that saw neither set; *reads counts all of them.
int watch_sets(const std::atomic<int>* stop, long* reads) {
  int mixed = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (long n = 0; n < 5000000 && !stop->load() && std::chrono::steady_clock::now() < deadline; ++n) {
    int exists;
    value_set seen = read_set(&exists);
    if (!exists || (seen != RULES_OLD && seen != RULES_NEW)) mixed++;
    ++*reads;
  }
  return mixed;
}

constexpr int REPLACEMENTS = 300;

TEST_F(StoreReplace, ReadersSeeTheOldSetOrTheNewOneNeverAMix) {
  ASSERT_EQ(store_replace_key_values(HIVE_MACHINE, ACCESS, values_of(RULES_OLD)), 1);

  // A reader in another process has a cache of its own and sees only the
  // file, replaced under it.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    std::atomic<int> never{0};
    long reads = 0;
    int exists;
    read_set(&exists);
    (void)!write(ready[1], "x", 1);
    // The parent ends this reader with SIGTERM once its writes are done; the
    // loop's own bounds end it otherwise.
    struct sigaction on_term {};
    on_term.sa_handler = [](int) { _exit(0); };
    sigaction(SIGTERM, &on_term, nullptr);
    int mixed = watch_sets(&never, &reads);
    _exit(mixed ? 1 : 0);
  }
  close(ready[1]);
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);

  std::atomic<int> stop{0};
  long thread_reads = 0;
  int thread_mixed = 0;
  std::thread reader([&] { thread_mixed = watch_sets(&stop, &thread_reads); });

  int failed_writes = 0;
  for (int i = 0; i < REPLACEMENTS; ++i)
    failed_writes += !store_replace_key_values(HIVE_MACHINE, ACCESS, values_of(i % 2 ? RULES_OLD : RULES_NEW));
  stop = 1;
  reader.join();

  // A mix makes the child exit 1 at once, so a child still running has seen none.
  int status = 0;
  pid_t done = waitpid(child, &status, WNOHANG);
  if (done == 0) {
    kill(child, SIGTERM);
    ASSERT_EQ(waitpid(child, &status, 0), child);
  }
  EXPECT_EQ(failed_writes, 0);
  EXPECT_GT(thread_reads, 0);
  EXPECT_EQ(thread_mixed, 0) << "of " << thread_reads << " reads in this process";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the other process saw a mixed set";
  int exists;
  EXPECT_EQ(read_set(&exists), RULES_OLD);  // the last of an even count of replacements
}

TEST_F(StoreReplace, OnlyTheKeysOwnValuesAreReplaced) {
  ASSERT_EQ(store_write_value(HIVE_MACHINE, ACCESS, "stale\\0", "r"), 1);
  ASSERT_EQ(store_write_value(HIVE_MACHINE, std::string(ACCESS) + "\\below", "kept", "1"), 1);
  ASSERT_EQ(store_write_value(HIVE_MACHINE, KESTREL, "Port", "6969"), 1);

  // Of two names equal but for case the later wins, in the first spelling.
  std::vector<store_value> set = {{"Boot\\0", STORE_SZ, "r", {}}, {"boot\\0", STORE_SZ, "rw", {}}};
  ASSERT_EQ(store_replace_key_values(HIVE_MACHINE, ACCESS, set), 1);
  std::vector<store_value> values;
  std::vector<std::string> subkeys;
  ASSERT_EQ(store_list_key(HIVE_MACHINE, ACCESS, &values, &subkeys), 1);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "Boot\\0");
  EXPECT_EQ(values[0].data, "rw");
  EXPECT_EQ(subkeys, std::vector<std::string>{"below"});
  std::string text;
  EXPECT_EQ(store_read_value(HIVE_MACHINE, std::string(ACCESS) + "\\below", "kept", &text), 1);
  EXPECT_EQ(store_read_value(HIVE_MACHINE, KESTREL, "Port", &text), 1);
  EXPECT_EQ(text, "6969");

  // The empty set leaves the key without values.
  ASSERT_EQ(store_replace_key_values(HIVE_MACHINE, ACCESS, {}), 1);
  ASSERT_EQ(store_list_key(HIVE_MACHINE, ACCESS, &values, nullptr), 1);
  EXPECT_TRUE(values.empty());
}

TEST_F(StoreReplace, AValueThatCannotBeStoredFailsTheWholeSet) {
  ASSERT_EQ(store_replace_key_values(HIVE_MACHINE, ACCESS, values_of(RULES_OLD)), 1);
  std::string before = read_text(hklm_);
  std::vector<store_value> set = values_of(RULES_NEW);
  set.push_back(store_value{"x\\0", STORE_SZ, "r\nw", {}});
  EXPECT_EQ(store_replace_key_values(HIVE_MACHINE, ACCESS, set), 0);
  set.back() = store_value{"x\n0", STORE_SZ, "r", {}};
  EXPECT_EQ(store_replace_key_values(HIVE_MACHINE, ACCESS, set), 0);
  set.back() = store_value{"x\\0", STORE_OTHER, "\x01", "dword:00000001"};
  EXPECT_EQ(store_replace_key_values(HIVE_MACHINE, ACCESS, set), 0);
  EXPECT_EQ(read_text(hklm_), before);

  // Nothing to write on a missing key creates no key.
  const std::string other = std::string(KESTREL) + "\\Other";
  ASSERT_EQ(store_replace_key_values(HIVE_MACHINE, other, {}), 1);
  EXPECT_EQ(store_list_key(HIVE_MACHINE, other, nullptr, nullptr), 0);
}

}  // namespace
