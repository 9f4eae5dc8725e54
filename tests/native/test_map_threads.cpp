// Threads of one process on one map, inserting, replacing, getting and
// removing while the table doubles many times under them.
//
// MapThreads: every thread shares one map object (one Allocator pair, one
// chunk cache, one mapping). This is the case ThreadSanitizer can judge (the
// "Thread" in the name selects it in scripts/test.sh): every access to the
// file goes through one address range, so every lock word is one
// synchronisation object to it.
//
// MapViewsInOneProcess: half of the threads open views of their own, and
// explicit expansions open yet another view each time, as separate map objects
// of one process do. Two mappings of one file are two unrelated address
// ranges to ThreadSanitizer: a lock taken through one view orders nothing
// for accesses through another, so it would report races that the shared
// lock word in fact prevents. That case is therefore left out of its run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "map/checker.hpp"
#include "map_fixture.hpp"

namespace fennowick {
namespace {

using namespace fennowick::testing;
using u64 = std::uint64_t;

u64 test_seed() {
  if (const char *s = std::getenv("FENNOWICK_SEED")) return std::strtoull(s, nullptr, 0);
  return static_cast<u64>(std::chrono::steady_clock::now().time_since_epoch().count());
}

// A value names its writer and sequence number, so a value read back can be
// traced to the write that made it; its length varies from 0 to a few chunks.
std::string value_for(int writer, int seq, const std::string &key) {
  std::string v = "w" + std::to_string(writer) + "s" + std::to_string(seq) + "|" + key + "|";
  v.append(static_cast<std::size_t>((writer * 131 + seq * 17) % 200), static_cast<char>('a' + writer));
  return v;
}

bool well_formed(const std::string &v, const std::string &key, int writers, int ops) {
  int w = -1, s = -1;
  if (std::sscanf(v.c_str(), "w%ds%d|", &w, &s) != 2) return false;
  return w >= 0 && w < writers && s >= 0 && s < ops && v == value_for(w, s, key);
}

class MapWorkers : public MapTest {
protected:
  void run(bool own_views);
};

void MapWorkers::run(bool own_views) {
  constexpr int threads = 4, ops = 20000, private_keys = 250, shared_keys = 24;
  const u64 seed = test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FENNOWICK_SEED to repeat)");
  // One bucket to start with, room for 8192: inserts and rare explicit
  // helper calls double the table again and again while the others work.
  auto shared = create({0, 8192, 32ull << 20, 4});
  const std::string name = name_;

  std::vector<std::vector<std::optional<std::string>>> model(threads,
                                                             std::vector<std::optional<std::string>>(private_keys));
  std::vector<std::string> failures(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      try {
        std::unique_ptr<Map> own = own_views && t % 2 ? open_map(name) : nullptr;
        Map &m = own ? *own : *shared;
        std::mt19937_64 rng(seed * 0x9e3779b97f4a7c15ull + t);
        auto &mine = model[t];
        for (int seq = 0; seq < ops && failures[t].empty(); ++seq) {
          const bool is_shared = rng() % 5 == 0;
          const int i = static_cast<int>(is_shared ? rng() % shared_keys : rng() % private_keys);
          const std::string key = is_shared ? "shared-" + std::to_string(i)
                                            : "t" + std::to_string(t) + "-" + std::to_string(i);
          const int op = static_cast<int>(rng() % 1000);
          if (op < 400) {
            const std::string v = value_for(t, seq, key);
            put(m, key, v);
            if (!is_shared) mine[i] = v;
          } else if (op < 550) {
            const bool removed = erase(m, key);
            if (!is_shared) {
              if (removed != mine[i].has_value()) failures[t] = "remove of " + key + " disagrees with the model";
              mine[i].reset();
            }
          } else if (op < 552) {
            // What the Python helper does, through this thread's object
            // or through a view of its own.
            const u64 n = m.bucket_chunks_in_use();
            if (own_views) python_expansion_helper_string(name, 2 * n);
            else if (const u64 joined = m.join_for_target(2 * n)) m.expand(joined);
          } else {
            // Warm the cache the way batched lookups do, for this key and
            // for keys other threads are changing right now.
            const long long hints[] = {hash_of(key), hash_of("shared-" + std::to_string(seq % shared_keys)),
                                       static_cast<long long>(rng())};
            m.prefetch(hints, 3);
            const auto got = find(m, key);
            if (is_shared) {
              if (got && !well_formed(*got, key, threads, ops)) failures[t] = "shared " + key + " holds " + *got;
            } else if (got != mine[i]) {
              failures[t] = key + (got ? " holds " + *got : std::string(" is missing")) + ", expected " +
                            (mine[i] ? *mine[i] : std::string("absent"));
            }
          }
        }
      } catch (const std::exception &e) {
        failures[t] = std::string("exception: ") + e.what();
      }
    });
  for (auto &w : workers) w.join();
  for (int t = 0; t < threads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;

  u64 expected = 0;
  for (int t = 0; t < threads; ++t)
    for (int i = 0; i < private_keys; ++i) {
      const std::string key = "t" + std::to_string(t) + "-" + std::to_string(i);
      ASSERT_EQ(find(*shared, key), model[t][i]) << key;
      expected += model[t][i].has_value();
    }
  for (int i = 0; i < shared_keys; ++i) {
    const std::string key = "shared-" + std::to_string(i);
    if (const auto got = find(*shared, key)) {
      EXPECT_TRUE(well_formed(*got, key, threads, ops)) << key << " holds " << *got;
      ++expected;
    }
  }
  EXPECT_GT(shared->bucket_chunks_in_use(), 64u) << "too few expansions to mean anything";
  EXPECT_EQ(shared->entry_count(), expected);
  const auto entries = scan(*shared);
  std::set<std::pair<u64, std::string>> distinct;
  for (const auto &e : entries) distinct.emplace(e.bucket, e.key);
  EXPECT_EQ(distinct.size(), entries.size()) << "an entry is stored twice";
  EXPECT_EQ(entries.size(), expected);
  const CheckReport r = check_map_file(name);
  EXPECT_TRUE(r.ok) << r.problem;
}

class MapThreads : public MapWorkers {};
TEST_F(MapThreads, ShareOneObjectAndKeepEveryEntryThroughExpansions) { run(false); }

// A scan_bucket walk against a writer that doubles the table under it: every
// entry there before and untouched comes exactly once with its value, and no
// entry comes twice.
TEST_F(MapThreads, WalkSeesEveryStandingEntryOnceWhileTheTableDoubles) {
  constexpr int old_keys = 3000, new_keys = 8000;
  auto m = create({0, 8192, 32ull << 20, 4});
  for (int i = 0; i < old_keys; ++i) put(*m, "old-" + std::to_string(i), value_of(i, i % 90));
  const u64 before = m->bucket_chunks_in_use();
  std::string failure;
  std::atomic<bool> started{false}, done{false};
  std::thread writer([&] {
    try {
      for (int i = 0; i < new_keys; ++i) {
        put(*m, "new-" + std::to_string(i), value_of(i));
        started = true;
      }
    } catch (const std::exception &e) {
      failure = e.what();
    }
    done = true;
  });
  struct Join {  // an ASSERT below returns early: the writer is still joined
    std::thread &t;
    ~Join() {
      if (t.joinable()) t.join();
    }
  } join{writer};
  while (!started && !done) std::this_thread::yield();
  int walks = 0;
  do {  // walk after walk until the writer is done: each one must keep the promise
    std::map<std::string, int> seen;
    std::vector<Map::ScannedEntry> bucket;
    u64 cursor = 0;
    do {
      cursor = m->scan_bucket(cursor, true, bucket);
      for (const auto &e : bucket) {
        ++seen[e.key];
        if (e.key.rfind("old-", 0) == 0) {
          const int i = std::stoi(e.key.substr(4));
          ASSERT_EQ(e.value, value_of(i, i % 90)) << e.key;
          ASSERT_EQ(e.hash, hash_of(e.key)) << e.key;
        }
      }
    } while (cursor != 0);
    for (int i = 0; i < old_keys; ++i) ASSERT_EQ(seen["old-" + std::to_string(i)], 1) << i << " walk " << walks;
    for (const auto &[key, n] : seen) ASSERT_EQ(n, 1) << key << " walk " << walks;
    ++walks;
  } while (!done);
  writer.join();
  ASSERT_EQ(failure, "");
  EXPECT_GT(m->bucket_chunks_in_use(), before) << "no expansion ran";
}

// clear() against a writer that doubles the table under it: every entry that
// was there before and untouched is gone, each removal is counted once, and
// the writer's entries that remain are intact.
TEST_F(MapThreads, ClearRemovesEveryStandingEntryWhileTheTableDoubles) {
  constexpr int old_keys = 3000, new_keys = 8000;
  auto m = create({0, 8192, 32ull << 20, 4});
  for (int i = 0; i < old_keys; ++i) put(*m, "old-" + std::to_string(i), value_of(i, i % 90));
  const u64 before = m->bucket_chunks_in_use();
  std::string failure;
  std::thread writer([&] {
    try {
      for (int i = 0; i < new_keys; ++i) put(*m, "new-" + std::to_string(i), value_of(i));
    } catch (const std::exception &e) {
      failure = e.what();
    }
  });
  const u64 removed = m->clear();
  writer.join();
  ASSERT_EQ(failure, "");
  EXPECT_GT(m->bucket_chunks_in_use(), before) << "no expansion ran";
  for (int i = 0; i < old_keys; ++i) ASSERT_FALSE(find(*m, "old-" + std::to_string(i))) << i;
  u64 remaining = 0;
  for (int i = 0; i < new_keys; ++i) {
    const auto got = find(*m, "new-" + std::to_string(i));
    if (got) {
      ASSERT_EQ(*got, value_of(i)) << i;
    }
    remaining += got.has_value();
  }
  EXPECT_EQ(removed + remaining, static_cast<u64>(old_keys + new_keys));
  EXPECT_EQ(m->entry_count(), remaining);
  EXPECT_EQ(m->clear(), remaining);
  EXPECT_EQ(m->entry_count(), 0u);
  const CheckReport r = check_map_file(name_);
  EXPECT_TRUE(r.ok) << r.problem;
}

class MapViewsInOneProcess : public MapWorkers {};
TEST_F(MapViewsInOneProcess, SharedObjectAndOwnViewsKeepEveryEntryThroughExpansions) { run(true); }

}  // namespace
}  // namespace fennowick
