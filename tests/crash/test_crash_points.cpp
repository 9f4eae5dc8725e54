// A process may die at any instruction of an operation. Built with crash
// points (FENNOWICK_CRASH_POINTS), a child ends itself with _exit at the k-th
// store to shared memory that an operation makes under a lock, for every k
// until the operation completes; after each death a survivor opens the map
// and checks it exactly against what was there before: every other entry
// whole and unchanged, the entry the operation was about either as before or
// as after (never torn), len() exact, the map still taking writes and
// growing, and the structural checker clean.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "map/checker.hpp"
#include "shm/crash_point.hpp"
#include "../native/map_fixture.hpp"

namespace fennowick::testing {
namespace {

namespace fs = std::filesystem;

struct Key {
  std::string key;
  long long hash;
  std::string value;
};

// Four buckets (one chunk); bucket 0 holds a and b, bucket 1 holds c, g, h
// (two nodes), bucket 2 and 3 are empty. Eight entries fit before the table
// doubles.
const std::vector<Key> &base_keys() {
  static const std::vector<Key> keys = {
      {"a", 0, value_of(1, 40)}, {"b", 4, value_of(2, 9)},  {"c", 1, value_of(3, 17)},
      {"g", 5, value_of(4, 8)},  {"h", 9, value_of(5, 0)},
  };
  return keys;
}

struct Scenario {
  const char *name;
  bool through_close;  // the view's close (its caches going back) is part of it
  // The operation, run by the child on its own view of the map.
  std::function<void(Map &)> run;
  // The key it is about and the value it may leave there besides the old one
  // (nullopt: absent).
  std::string key;
  long long hash;
  std::optional<std::string> after;
};

std::string big_value() { return value_of(9, 3000); }  // 375 chunks: the allocator refills from the arena

const Scenario scenarios[] = {
    {"insert into an empty bucket", false, [](Map &m) { put(m, "d", value_of(6, 20), 2); }, "d", 2, value_of(6, 20)},
    {"append with a new node", false, [](Map &m) { put(m, "e", value_of(7, 20), 8); }, "e", 8, value_of(7, 20)},
    {"append into a node's free slot", false, [](Map &m) { put(m, "i", value_of(8, 3), 13); }, "i", 13, value_of(8, 3)},
    {"replace by a longer value", false, [](Map &m) { put(m, "a", value_of(10, 70), 0); }, "a", 0, value_of(10, 70)},
    {"replace by an empty value", false, [](Map &m) { put(m, "c", "", 1); }, "c", 1, std::string()},
    {"remove the first of three", false, [](Map &m) { erase(m, "c", 1); }, "c", 1, std::nullopt},
    {"remove the last of three", false, [](Map &m) { erase(m, "h", 9); }, "h", 9, std::nullopt},
    {"insert a value that refills the caches", false, [](Map &m) { put(m, "j", big_value(), 3); }, "j", 3, big_value()},
    // the chunks go back to the view's cache, then to the arena when it closes
    {"insert and remove a long value, then close", true, [](Map &m) {
       put(m, "k", big_value(), 7);
       erase(m, "k", 7);
     }, "k", 7, big_value()},
};

class CrashPoints : public ::testing::Test {
protected:
  void SetUp() override {
    std::string name;
    {
      auto m = make_map(name, {2, 64, 1 << 20, 3});
      for (const Key &k : base_keys()) put(*m, k.key, k.value, k.hash);
    }
    template_ = name;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove(template_, ec);
    fs::remove(copy_, ec);
  }
  std::string fresh_copy() {
    copy_ = template_ + ".crash";
    std::error_code ec;
    fs::remove(copy_, ec);
    fs::copy_file(template_, copy_);
    return copy_;
  }
  std::string template_, copy_;
};

// Runs `op` in a child armed to die at point k. Returns true when the child
// died there, false when the operation completed first.
bool run_child(const std::string &path, std::uint64_t k, const std::function<void(Map &)> &op, bool through_close) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(30);
    try {
      auto m = open_map(path);
      crash_points::arm(k);
      op(*m);
      if (!through_close) crash_points::arm(0);
      m.reset();
    } catch (const std::exception &e) {
      std::fprintf(stderr, "child: %s\n", e.what());
      _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  const int code = WEXITSTATUS(status);
  EXPECT_TRUE(code == 0 || code == crash_points::exit_code) << "child failed at point " << k;
  return code == crash_points::exit_code;
}

// What a survivor must find: every base entry as it was, the scenario's key
// old or new, the count exact; and the map must go on working and growing.
void verify(const std::string &path, const Scenario &sc, std::uint64_t k) {
  SCOPED_TRACE(std::string(sc.name) + ", died at point " + std::to_string(k));
  auto m = open_map(path);
  std::map<std::string, std::string> present;
  for (const Key &b : base_keys()) {
    auto got = find(*m, b.key, b.hash);
    if (b.key == sc.key) {
      ASSERT_TRUE(got == std::optional<std::string>(b.value) || got == sc.after)
          << "key " << b.key << " holds neither its old nor its new value";
    } else {
      ASSERT_EQ(got, std::optional<std::string>(b.value)) << "key " << b.key;
    }
    if (got) present[b.key] = *got;
  }
  bool own = false;
  for (const Key &b : base_keys()) own |= b.key == sc.key;
  if (!own) {
    auto got = find(*m, sc.key, sc.hash);
    ASSERT_TRUE(!got || got == sc.after) << "new key " << sc.key << " torn";
    if (got) present[sc.key] = *got;
  }
  EXPECT_EQ(m->entry_count(), present.size()) << "len() not exact";
  // The map takes writes in every bucket and grows past its first doubling.
  for (int i = 0; i < 24; ++i) put(*m, "more-" + std::to_string(i), value_of(i, 11));
  EXPECT_GE(m->bucket_chunks_in_use(), 2u);
  for (int i = 0; i < 24; ++i) ASSERT_EQ(find(*m, "more-" + std::to_string(i)), value_of(i, 11));
  for (const auto &[key, value] : present) {
    long long h = 0;
    for (const Key &b : base_keys())
      if (b.key == key) h = b.hash;
    if (key == sc.key) h = sc.hash;
    ASSERT_EQ(find(*m, key, h), value) << "after growing: " << key;
  }
  EXPECT_EQ(m->entry_count(), present.size() + 24);
  m.reset();
  const CheckReport r = check_map_file(path);
  EXPECT_TRUE(r.ok) << r.problem;
}

TEST_F(CrashPoints, EveryEntryOperationSurvivesDeathAtEveryPoint) {
  std::uint64_t total = 0;
  for (const Scenario &sc : scenarios) {
    SCOPED_TRACE(sc.name);
    std::uint64_t k = 1;
    for (;; ++k) {
      const std::string path = fresh_copy();
      if (!run_child(path, k, sc.run, sc.through_close)) break;
      verify(path, sc, k);
      if (::testing::Test::HasFatalFailure()) return;
    }
    std::printf("%-40s %3llu crash points\n", sc.name, static_cast<unsigned long long>(k - 1));
    std::fflush(stdout);
    EXPECT_GT(k, 2u) << "no crash point reached";
    total += k - 1;
  }
  std::printf("%-40s %3llu crash points\n", "all entry operations", static_cast<unsigned long long>(total));
}

// The expansion's roles in one process: the helper leads (makes and publishes
// the new half), moves every bucket and finishes (doubles and clears the
// marks). Killed anywhere, a survivor finds every entry and completes it.
TEST_F(CrashPoints, ExpansionSurvivesDeathOfItsLeaderMoverAndFinisher) {
  const Scenario sc{"expansion", false, [this](Map &m) {
                      (void)m;
                      python_expansion_helper_string(copy_, 2);
                    },
                    "a", 0, std::nullopt};
  std::uint64_t k = 1;
  for (;; ++k) {
    const std::string path = fresh_copy();
    if (!run_child(path, k, sc.run, false)) break;
    SCOPED_TRACE("died at point " + std::to_string(k));
    try {
      auto m = open_map(path);
      for (const Key &b : base_keys()) ASSERT_EQ(find(*m, b.key, b.hash), b.value) << b.key;
      EXPECT_EQ(m->entry_count(), base_keys().size());
      // The survivor finishes the doubling the dead one began (or starts its own).
      python_expansion_helper_string(path, 2);
      EXPECT_EQ(m->bucket_chunks_in_use(), 2u);
      for (const Key &b : base_keys()) ASSERT_EQ(find(*m, b.key, b.hash), b.value) << b.key;
    } catch (const std::exception &e) {
      FAIL() << e.what();
    }
    const CheckReport r = check_map_file(path);
    EXPECT_TRUE(r.ok) << r.problem;
    if (::testing::Test::HasFatalFailure()) return;
  }
  std::printf("%-40s %3llu crash points\n", "expansion (leader, mover, finisher)", static_cast<unsigned long long>(k - 1));
  EXPECT_GT(k, 10u);
}

}  // namespace
}  // namespace fennowick::testing
