// Growth of the string map: one expansion taken apart on small tables, the
// rules for who may start or join one (target, participant limit, table
// capacity, a leader without memory), and expansions that run while other
// processes and threads insert, read and remove. Throughout, an entry must be
// found exactly once, in the bucket its hash selects, whatever moment a
// lookup picks.
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "map_fixture.hpp"

namespace fennowick::testing {
namespace {

using u64 = std::uint64_t;

std::uint32_t seed() {
  const char *s = std::getenv("FENNOWICK_SEED");
  return s ? static_cast<std::uint32_t>(std::strtoul(s, nullptr, 10)) : 20240611u;
}

u64 in_use(Map &m) { return shared_word(m, &MapHeader::bucket_chunks_in_use).load(); }
u64 participants(Map &m) { return shared_word(m, &MapHeader::expansion_participants).load(); }
std::int64_t cursor(Map &m) {
  return static_cast<std::int64_t>(shared_word(m, &MapHeader::migration_cursor).load());
}

// The protocol's rest state: nobody counted in, no claim on the next slot,
// nothing marked, no lock held, every entry where its hash says.
void expect_idle(Map &m) {
  EXPECT_EQ(participants(m), 0u);
  EXPECT_EQ(shared_word(m, &MapHeader::expansion_lock).load(), 0u);
  const u64 n = in_use(m);
  if (n < m.bucket_chunk_number()) {
    EXPECT_EQ(table_of(m)[n], 0u) << "claim left on slot " << n;
  }
  scan(m);
}

std::set<std::string> distinct_keys(Map &m, u64 expected) {
  const auto entries = scan(m);
  std::set<std::string> keys;
  for (const auto &e : entries) keys.insert(e.key);
  EXPECT_EQ(entries.size(), expected);
  EXPECT_EQ(keys.size(), entries.size()) << "an entry is stored twice";
  return keys;
}

// The hash an entry of a bucket was stored under, by its key.
long long hash_of_key_in(Map &m, Bucket *b, const std::string &k) {
  for (u64 i = 0; i < b->entries.count; ++i)
    if (string_of(m, entry_of(m, b, i)->key) == k) return entry_of(m, b, i)->hash;
  ADD_FAILURE() << k << " not in its bucket";
  return 0;
}

class Expansion : public MapTest {};

// ---- one expansion, bucket by bucket --------------------------------------------

// Per bucket of the old table, the entries in list order: 'S' stays, 'M'
// has the new bit set and moves to the twin. An empty string is an empty
// bucket.
struct SplitCase {
  const char *label;
  std::vector<std::string> buckets;
};

TEST_F(Expansion, EachBucketSplitsByTheNewBitKeepingOrder) {
  const SplitCase cases[] = {
      {"one bucket, mixed", {"SMSMM"}},
      {"one bucket, all move", {"MMM"}},
      {"one bucket, none move", {"SSSSS"}},
      {"one bucket, empty", {""}},
      {"two buckets", {"MMMM", "SSS"}},
      {"four buckets", {"MSMSS", "", "MMM", "S"}},
      {"eight buckets", {"SMSMM", "MMM", "SSS", "", "M", "", "SSMM", "MSMSMSMS"}},
  };
  for (const SplitCase &c : cases) {
    SCOPED_TRACE(c.label);
    const u64 s = c.buckets.size();
    const auto exp = static_cast<unsigned char>(std::countr_zero(s));
    auto m = create({exp, 2, 1 << 20, 4});
    // Over two entries per bucket would start an expansion by itself: keep
    // the inserts out of it until the test starts one.
    shared_word(*m, &MapHeader::expansion_participants).store(max_participants + 1);
    std::vector<std::vector<std::string>> stay(s), move(s);
    std::vector<u64> links_before(s);
    u64 total = 0;
    for (u64 f = 0; f < s; ++f) {
      for (std::size_t j = 0; j < c.buckets[f].size(); ++j) {
        const bool moves = c.buckets[f][j] == 'M';
        const std::string k = "b" + std::to_string(f) + "e" + std::to_string(j);
        const long long h = static_cast<long long>(f + (moves ? s : 0) + 2 * s * (j + 1));
        put(*m, k, "value of " + k, h);
        (moves ? move : stay)[f].push_back(k);
        ++total;
      }
      links_before[f] = bucket_of(*m, f)->entries.links;
    }
    ASSERT_EQ(in_use(*m), 1u);
    shared_word(*m, &MapHeader::expansion_participants).store(0);

    python_expansion_helper_string(name_, 2);
    ASSERT_EQ(in_use(*m), 2u);
    EXPECT_LT(cursor(*m), 0) << "not every batch was claimed";
    EXPECT_EQ(m->entry_count(), total);
    expect_idle(*m);
    for (u64 f = 0; f < s; ++f) {
      SCOPED_TRACE("bucket " + std::to_string(f));
      Bucket *old = bucket_of(*m, f), *twin = bucket_of(*m, f + s);
      EXPECT_EQ(keys_in(*m, old), stay[f]);
      EXPECT_EQ(keys_in(*m, twin), move[f]);
      EXPECT_EQ(old->entries.links, links_before[f]) << "the old bucket keeps its nodes";
      EXPECT_EQ(twin->entries.links, std::max<u64>(1, (move[f].size() + 1) / 2));
      for (const auto &k : stay[f]) EXPECT_EQ(find(*m, k, hash_of_key_in(*m, old, k)), "value of " + k);
      for (const auto &k : move[f]) EXPECT_EQ(find(*m, k, hash_of_key_in(*m, twin, k)), "value of " + k);
    }

    // The next remove in a bucket that kept surplus nodes trims them.
    for (u64 f = 0; f < s; ++f) {
      Bucket *old = bucket_of(*m, f);
      if (old->entries.links <= std::max<u64>(1, (old->entries.count + 1) / 2)) continue;
      const long long h = static_cast<long long>(f + 4 * s * 1000);
      put(*m, "extra", "x", h);
      ASSERT_TRUE(erase(*m, "extra", h));
      EXPECT_EQ(old->entries.links, std::max<u64>(1, (old->entries.count + 1) / 2)) << "bucket " << f;
      EXPECT_EQ(keys_in(*m, old), stay[f]);
    }
  }
}

// ---- who starts or joins ------------------------------------------------------------

TEST_F(Expansion, HelperDoublesAtMostOncePerCallAndNeverPastItsTarget) {
  auto m = create({2, 16, 1 << 20, 4});
  for (int i = 0; i < 6; ++i) put(*m, key_of(i), value_of(i));
  const u64 used = m->shape().arena_used;
  for (const u64 target : {0ull, 1ull}) {
    python_expansion_helper_string(name_, target);
    EXPECT_EQ(in_use(*m), 1u);
    EXPECT_EQ(cursor(*m), 0) << "an expansion was started";
    EXPECT_EQ(m->shape().arena_used, used);
    expect_idle(*m);
  }
  python_expansion_helper_string(name_, 8);  // one step toward 8, not three
  EXPECT_EQ(in_use(*m), 2u);
  python_expansion_helper_string(name_, 2);
  EXPECT_EQ(in_use(*m), 2u);
  python_expansion_helper_string(name_, 8);
  python_expansion_helper_string(name_, 8);
  python_expansion_helper_string(name_, 8);
  EXPECT_EQ(in_use(*m), 8u);
  // The member form does not consult its target: it always runs one.
  m->python_expansion_helper(1);
  EXPECT_EQ(in_use(*m), 16u);
  m->python_expansion_helper(1);  // no room left to double
  EXPECT_EQ(in_use(*m), 16u);
  expect_idle(*m);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(find(*m, key_of(i)), value_of(i));
}

// Joining is refused while more than 4096 are counted in: neither the
// helper nor an overloaded insert joins, and inserts still succeed.
TEST_F(Expansion, NoJoiningAbove4096Participants) {
  auto m = create({0, 64, 1 << 20, 4});
  auto count = shared_word(*m, &MapHeader::expansion_participants);
  count.store(max_participants + 1);
  python_expansion_helper_string(name_, 2);
  EXPECT_EQ(in_use(*m), 1u);
  EXPECT_EQ(count.load(), max_participants + 1);
  for (int i = 0; i < 100; ++i) put(*m, key_of(i), value_of(i));
  EXPECT_EQ(in_use(*m), 1u);
  EXPECT_EQ(table_of(*m)[1], 0u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i));

  // Once the count is back, the next append joins: one expansion per insert.
  count.store(0);
  put(*m, key_of(100), value_of(100));
  EXPECT_EQ(in_use(*m), 2u);
  expect_idle(*m);
  for (int i = 0; i <= 100; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i));
}

// The table never grows past its slots; at capacity the chains just get
// longer and nothing reports an error.
TEST_F(Expansion, GrowthStopsSilentlyAtTableCapacity) {
  const std::pair<unsigned long long, u64> cases[] = {{1, 1}, {2, 2}, {3, 2}, {4, 4}, {6, 4}};
  for (const auto &[chunks, top] : cases) {
    SCOPED_TRACE("bucket chunk number " + std::to_string(chunks));
    auto m = create({0, chunks, 1 << 20, 4});
    for (int i = 0; i < 64; ++i) put(*m, key_of(i), value_of(i));
    EXPECT_EQ(in_use(*m), top);
    EXPECT_NO_THROW(python_expansion_helper_string(name_, 1 << 20));
    EXPECT_EQ(in_use(*m), top);
    EXPECT_EQ(m->entry_count(), 64u);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i));
    for (int i = 0; i < 64; i += 3) ASSERT_TRUE(erase(*m, key_of(i)));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(find(*m, key_of(i)).has_value(), i % 3 != 0);
    expect_idle(*m);
  }
}

// ---- an arena without room ------------------------------------------------------------

// The arena holds the entries but not what a doubled table needs: either
// not even the new bucket chunk, or the chunk but not the nodes of its
// buckets. Without the chunk the leader gives its claim back; without the
// nodes the expansion stays published and half-done (no bucket could be
// split), which is a correct state. Either way the helper raises, every
// waiting participant leaves, nothing doubles, and the map goes on as
// before. Inserts that start or meet such an expansion still store their
// entry.
TEST_F(Expansion, LeaderWithoutMemoryWithdrawsItsClaim) {
  const struct {
    const char *label;
    u64 keep;
    bool withdrawn;
  } budgets[] = {
      {"no room for the chunk", 4096, true},
      {"room for the chunk, not for its nodes", 14344 + 12000, false},
  };
  for (const auto &[label, keep, withdrawn] : budgets) {
    SCOPED_TRACE(label);
    auto m = create({8, 4, 1 << 20, 5});  // 256 buckets: a new chunk is 14 KiB
    auto count = shared_word(*m, &MapHeader::expansion_participants);
    count.store(max_participants + 1);
    constexpr int entries = 600;  // above the load limit of 512
    for (int i = 0; i < entries; ++i) put(*m, key_of(i), value_of(i));
    count.store(0);
    leave_in_arena(*m, keep);
    if (HasFatalFailure()) return;
    const std::int64_t cursor_before = cursor(*m);

    auto expect_unchanged = [&, withdrawn = withdrawn] {
      EXPECT_EQ(in_use(*m), 1u);
      if (withdrawn) {
        EXPECT_EQ(table_of(*m)[1], 0u) << "claim not withdrawn";
        EXPECT_EQ(cursor(*m), cursor_before);
        expect_idle(*m);
      } else {
        EXPECT_GT(table_of(*m)[1], 1u) << "expansion not published";
        EXPECT_EQ(participants(*m), 0u);
        EXPECT_EQ(shared_word(*m, &MapHeader::expansion_lock).load(), 0u);
      }
    };
    try {
      python_expansion_helper_string(name_, 2);
      ADD_FAILURE() << "helper did not report the failure";
    } catch (const std::exception &e) {
      EXPECT_NE(std::string(e.what()), "");
    }
    expect_unchanged();

    // Several at once: whoever leads fails, whoever waits leaves.
    constexpr int helpers = 3;
    SharedArray<int> threw(helpers);
    StartLine start(helpers);
    std::vector<pid_t> kids;
    for (int i = 0; i < helpers; ++i)
      kids.push_back(spawn([&, i] {
        start.arrive_and_wait();
        try {
          python_expansion_helper_string(name_, 2);
        } catch (const std::exception &) {
          threw[i] = 1;
        }
        return true;
      }, 20));
    for (pid_t p : kids) expect_clean_exit(p, 30);
    int failures = 0;
    for (int i = 0; i < helpers; ++i) failures += threw[i];
    EXPECT_GE(failures, 1);
    expect_unchanged();

    for (int i = 0; i < entries; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i));
    // Inserts over the load limit try to expand, fail quietly, and store.
    // New keys take the buckets and sizes of removed ones, so that they fit
    // in what the removals gave back (a split bucket's new key may need a
    // node in its twin: that case only checks that nothing is lost).
    if (!withdrawn) continue;
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(erase(*m, key_of(i)));
    for (int i = 0; i < 100; ++i) put(*m, "new-" + key_of(i), value_of(i).substr(0, 12), hash_of(key_of(i)));
    expect_unchanged();
    EXPECT_EQ(m->entry_count(), u64(entries));
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(find(*m, key_of(i)), std::nullopt);
      ASSERT_EQ(find(*m, "new-" + key_of(i), hash_of(key_of(i))), value_of(i).substr(0, 12));
    }
    for (int i = 100; i < entries; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i));
  }
}

// ---- joins and claims that others overtake ---------------------------------------------

// A helper counted in at n whose table the inserts' slices double meanwhile
// (here to its capacity) finds its expansion done and leaves; it must not
// read n again and take the doubled table for a damaged one.
TEST_F(Expansion, HelperOvertakenBetweenItsJoinAndItsWorkLeavesQuietly) {
  auto m = create({2, 2, 1 << 20, 4});  // 4 buckets, room for one doubling
  std::string name = name_;
  Map helper(name, 2, 2, 2, 3);
  const u64 n = helper.join_for_target_as_view(2);
  ASSERT_EQ(n, 1u);
  int inserted = 0;
  while (inserted < 40 && in_use(*m) < 2) put(*m, key_of(inserted), value_of(inserted)), ++inserted;
  ASSERT_EQ(in_use(*m), 2u) << "the inserts did not double the table";
  EXPECT_NO_THROW(helper.expand(n));
  EXPECT_EQ(in_use(*m), 2u);
  expect_idle(*m);
  for (int i = 0; i < inserted; ++i) EXPECT_EQ(find(*m, key_of(i)), value_of(i));
}

// A claimant that dies between its claim and its record leaves a marker
// that names no one. Inserts and removes withdraw it once they have seen it
// so for two seconds, and the table then grows without any helper.
TEST_F(Expansion, OperationsWithdrawAClaimThatNamesNoOne) {
  auto m = create({2, 16, 1 << 20, 4});
  table_of(*m)[1] = claim_marker;
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::steady_clock::now() - start; };
  int i = 0;
  while (in_use(*m) < 2 && elapsed() < std::chrono::seconds(10)) {
    put(*m, key_of(i % 300), value_of(i % 300));
    if (++i % 2 == 0) erase(*m, key_of((i / 2) % 300));
    usleep(200);
  }
  EXPECT_EQ(in_use(*m), 2u) << "the claim was never withdrawn";
  EXPECT_GE(elapsed(), std::chrono::milliseconds(1900)) << "withdrawn before two seconds";
  python_expansion_helper_string(name_, 1 << 20);  // finish whatever the slices left
  expect_idle(*m);
}

// A helper whose lead failed (no room for the chunk) stays alive: its claim
// record must not outlive its claim, or the next claimant that dies before
// recording itself would leave a marker that this helper, finding itself
// named and alive, waits on for ever.
TEST_F(Expansion, AClaimantThatGaveUpIsNotWaitedOn) {
  auto m = create({8, 4, 1 << 20, 5});  // 256 buckets: a new chunk is 14 KiB
  auto count = shared_word(*m, &MapHeader::expansion_participants);
  count.store(max_participants + 1);
  for (int i = 0; i < 600; ++i) put(*m, key_of(i), value_of(i));  // above the load limit of 512
  count.store(0);
  leave_in_arena(*m, 4096);
  if (HasFatalFailure()) return;
  std::string name = name_;
  u64 *table = table_of(*m);
  const pid_t p = spawn([&] {
    Map helper(name, 2, 2, 2, 3);
    for (int round = 0; round < 2; ++round) {
      const u64 n = helper.join_for_target_as_view(2);
      if (n != 1) return false;
      try {
        helper.expand(n);
        return false;  // there is no room for the chunk
      } catch (const std::exception &) {
      }
      if (std::atomic_ref<u64>(table[1]).load() != 0) return false;
      std::atomic_ref<u64>(table[1]).store(claim_marker);  // a claimant that dies before its record
    }
    return true;
  }, 20);
  expect_clean_exit(p, 30);
  EXPECT_EQ(in_use(*m), 1u);
  EXPECT_EQ(participants(*m), 0u);
  for (int i = 0; i < 600; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i));
}

// The leader gets its chunks, but moving one crowded bucket needs nodes the
// arena no longer has. Whatever the expansion then does, no entry may be
// lost: every key stays findable and sits in the bucket its hash selects.
TEST_F(Expansion, ParticipantWithoutMemoryForAMoveLosesNoEntry) {
  auto m = create({6, 2, 1 << 20, 5});  // 64 buckets, room for one doubling
  constexpr int crowded = 75;           // all in bucket 63, all moving
  for (int j = 0; j < crowded; ++j) put(*m, "c" + std::to_string(j), "v", 63 + 64 + 128 * j);
  for (int i = 0; i < 40; ++i) put(*m, key_of(i), value_of(i));
  ASSERT_EQ(in_use(*m), 1u);
  // A fresh view leads: one 64-bucket chunk (3.5 KiB) and one batch of 100
  // nodes (20.8 KiB) fit, a second batch of nodes does not.
  leave_in_arena(*m, 3592 + 20800 + 8000);
  if (HasFatalFailure()) return;

  try {
    python_expansion_helper_string(name_, 2);
  } catch (const std::runtime_error &) {
    // reporting the failure is fine; losing entries is not
  }
  EXPECT_EQ(m->entry_count(), u64(crowded + 40));
  int lost = 0;
  for (int j = 0; j < crowded; ++j) lost += find(*m, "c" + std::to_string(j), 63 + 64 + 128 * j) != "v";
  for (int i = 0; i < 40; ++i) lost += find(*m, key_of(i)) != value_of(i);
  EXPECT_EQ(lost, 0) << "of " << crowded + 40 << " entries, with " << in_use(*m) << " bucket chunks in use";
  expect_idle(*m);
}

// ---- expansions while others work ------------------------------------------------------

// From a single bucket, inserting processes drive the table through many
// expansions. Expansions start only above two entries per bucket and never
// overshoot, so the final count of chunks is the power of two n with
// n < keys <= 2n.
TEST_F(Expansion, GrowsFromOneBucketWhileProcessesInsert) {
  constexpr int procs = 3, per = 4096;
  create({0, 1 << 14, 32 << 20, 5});
  StartLine start(procs);
  std::vector<pid_t> kids;
  for (int p = 0; p < procs; ++p)
    kids.push_back(spawn([&, p] {
      auto m = open_map(name_);
      start.arrive_and_wait();
      bool ok = true;
      for (int i = 0; i < per; ++i) {
        const u64 id = u64(p) * per + i;
        put(*m, key_of(id), value_of(id));
        if (i % 64 == 0 && find(*m, key_of(id)) != value_of(id)) ok = false;
      }
      return ok;
    }, 60));
  for (pid_t pid : kids) expect_clean_exit(pid, 90);

  auto m = open_map(name_);
  EXPECT_EQ(in_use(*m), 8192u);
  EXPECT_EQ(m->entry_count(), u64(procs * per));
  for (u64 id = 0; id < u64(procs) * per; ++id) ASSERT_EQ(find(*m, key_of(id)), value_of(id)) << id;
  distinct_keys(*m, u64(procs) * per);
  expect_idle(*m);
}

// Several processes run the expansion helper with the same target while
// others insert and read: the table doubles exactly once, and every entry,
// old or inserted meanwhile, is in exactly one place.
TEST_F(Expansion, ParallelHelpersDoubleExactlyOnce) {
  constexpr int prefill = 6000, helpers = 4, inserters = 2, per_inserter = 500;
  auto m = create({6, 256, 16 << 20, 5});
  for (int i = 0; i < prefill; ++i) put(*m, key_of(i), value_of(i));
  const u64 n0 = in_use(*m);
  ASSERT_EQ(n0, 64u);  // 8192 entries of room: the inserts below start nothing
  SharedArray<u64> done(1);
  StartLine start(helpers + inserters + 1);
  std::vector<pid_t> workers;
  for (int h = 0; h < helpers; ++h)
    workers.push_back(spawn([&] {
      start.arrive_and_wait();
      python_expansion_helper_string(name_, 2 * n0);
      return true;
    }, 30));
  for (int w = 0; w < inserters; ++w)
    workers.push_back(spawn([&, w] {
      auto view = open_map(name_);
      start.arrive_and_wait();
      for (int i = 0; i < per_inserter; ++i) {
        const u64 id = 1000000 + u64(w) * per_inserter + i;
        put(*view, key_of(id), value_of(id));
      }
      return true;
    }, 30));
  pid_t reader = spawn([&] {
    auto view = open_map(name_);
    start.arrive_and_wait();
    std::mt19937 rng(seed());
    int misses = 0;
    while (done.at(0).load() == 0) {
      const int i = static_cast<int>(rng() % prefill);
      if (find(*view, key_of(i)) != value_of(i)) ++misses;
    }
    if (misses) std::fprintf(stderr, "reader: %d prefilled keys not found\n", misses);
    return misses == 0;
  }, 30);
  for (pid_t p : workers) expect_clean_exit(p, 40);
  done.at(0).store(1);
  expect_clean_exit(reader, 40);

  EXPECT_EQ(in_use(*m), 2 * n0);
  const u64 total = prefill + inserters * per_inserter;
  EXPECT_EQ(m->entry_count(), total);
  for (int i = 0; i < prefill; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i));
  for (u64 id = 1000000; id < 1000000 + inserters * per_inserter; ++id) ASSERT_EQ(find(*m, key_of(id)), value_of(id));
  distinct_keys(*m, total);
  expect_idle(*m);
}

// Drivers start each expansion the moment the previous one has doubled, on
// tables large enough that clearing the last expansion's marks is still
// going on when the next one marks its first buckets. Inserts meanwhile must
// never land in a bucket that was already split (they would be lost after
// the next doubling), and reads must find everything.
TEST_F(Expansion, BackToBackExpansionsKeepEveryEntry) {
  constexpr int drivers = 3, inserters = 2, per_inserter = 3000, prefill = 3000;
  auto m = create({10, 64, 32 << 20, 5});
  for (int i = 0; i < prefill; ++i) put(*m, key_of(i), value_of(i));
  ASSERT_EQ(in_use(*m), 2u);
  SharedArray<u64> misses(1);
  StartLine start(drivers + inserters);
  std::vector<pid_t> kids;
  for (int d = 0; d < drivers; ++d)
    kids.push_back(spawn([&] {
      auto view = open_map(name_);
      start.arrive_and_wait();
      for (u64 target = 4; target <= 64; target *= 2)
        while (view->bucket_chunks_in_use() < target) python_expansion_helper_string(name_, target);
      return true;
    }, 60));
  for (int w = 0; w < inserters; ++w)
    kids.push_back(spawn([&, w] {
      auto view = open_map(name_);
      start.arrive_and_wait();
      for (int i = 0; i < per_inserter; ++i) {
        const u64 id = 1000000 + u64(w) * per_inserter + i;
        put(*view, key_of(id), value_of(id));
        if (find(*view, key_of(id)) != value_of(id)) misses.at(0).fetch_add(1);
        if (find(*view, key_of(i % prefill)) != value_of(i % prefill)) misses.at(0).fetch_add(1);
      }
      return true;
    }, 60));
  for (pid_t p : kids) expect_clean_exit(p, 90);
  EXPECT_EQ(misses[0], 0u);
  EXPECT_EQ(in_use(*m), 64u);
  const u64 total = prefill + inserters * per_inserter;
  EXPECT_EQ(m->entry_count(), total);
  for (int i = 0; i < prefill; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i));
  for (u64 id = 1000000; id < 1000000 + inserters * per_inserter; ++id) ASSERT_EQ(find(*m, key_of(id)), value_of(id));
  distinct_keys(*m, total);
  expect_idle(*m);
}

// While writers push the table through several expansions, a reader keeps
// looking up keys that are known to be there, and a remover keeps taking
// out and putting back keys of its own. No lookup of a present key may
// fail, and no remove of a present key may report it absent.
TEST_F(Expansion, PresentKeysAreAlwaysFoundDuringExpansions) {
  constexpr int known = 300, owned = 100, writers = 2, per_writer = 15000;
  auto m = create({0, 1 << 14, 32 << 20, 5});
  for (int i = 0; i < known + owned; ++i) put(*m, key_of(i), value_of(i));
  const u64 n_before = in_use(*m);
  enum { kDone, kMisses, kRemoveFails, kLookups, kRounds, kSizesSeen, kSlots };
  SharedArray<u64> shared(kSlots);
  StartLine start(writers + 2);

  std::vector<pid_t> writer_pids;
  for (int w = 0; w < writers; ++w)
    writer_pids.push_back(spawn([&, w] {
      auto view = open_map(name_);
      start.arrive_and_wait();
      for (int i = 0; i < per_writer; ++i) {
        const u64 id = 1000000 + u64(w) * per_writer + i;
        put(*view, key_of(id), value_of(id));
      }
      return true;
    }, 60));
  pid_t reader = spawn([&] {
    auto view = open_map(name_);
    start.arrive_and_wait();
    std::set<u64> sizes;
    u64 lookups = 0, misses = 0;
    while (shared.at(kDone).load() == 0) {
      for (int i = 0; i < known; ++i, ++lookups) {
        if (find(*view, key_of(i)) != value_of(i)) ++misses;
        sizes.insert(view->bucket_chunks_in_use());
      }
    }
    shared.at(kMisses).store(misses);
    shared.at(kLookups).store(lookups);
    shared.at(kSizesSeen).store(sizes.size());
    return true;
  }, 60);
  pid_t remover = spawn([&] {
    auto view = open_map(name_);
    start.arrive_and_wait();
    u64 fails = 0, rounds = 0;
    while (shared.at(kDone).load() == 0) {
      for (int i = known; i < known + owned; ++i) {
        if (!erase(*view, key_of(i))) ++fails;
        if (find(*view, key_of(i))) ++fails;
        put(*view, key_of(i), value_of(i));
        if (find(*view, key_of(i)) != value_of(i)) ++fails;
      }
      ++rounds;
    }
    shared.at(kRemoveFails).store(fails);
    shared.at(kRounds).store(rounds);
    return true;
  }, 60);
  for (pid_t p : writer_pids) expect_clean_exit(p, 90);
  shared.at(kDone).store(1);
  expect_clean_exit(reader, 30);
  expect_clean_exit(remover, 30);

  EXPECT_EQ(shared[kMisses], 0u) << "of " << shared[kLookups] << " lookups";
  EXPECT_EQ(shared[kRemoveFails], 0u) << "in " << shared[kRounds] << " rounds";
  EXPECT_GE(in_use(*m), 16 * n_before) << "too few expansions to mean anything";
  EXPECT_GE(shared[kSizesSeen], 2u) << "the reader did not overlap the expansions";
  const u64 total = known + owned + writers * per_writer;
  EXPECT_EQ(m->entry_count(), total);
  distinct_keys(*m, total);
  expect_idle(*m);
}

// Threads of one process, each with its own view: one drives expansions
// through the helper, the others insert (into buckets that are moving) and
// read back what they inserted.
TEST_F(Expansion, ThreadsInsertIntoMovingBucketsWhileOneDrives) {
  constexpr int inserters = 3, per = 1500, prefill = 200;
  auto m = create({4, 256, 16 << 20, 5});
  for (int i = 0; i < prefill; ++i) put(*m, key_of(i), value_of(i));
  std::atomic<int> failures{0}, running{inserters};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    try {
      for (u64 target = 2; target <= 256; target *= 2)
        while (running.load() > 0 && in_use(*m) < target) python_expansion_helper_string(name_, target);
    } catch (const std::exception &e) {
      std::fprintf(stderr, "driver: %s\n", e.what());
      ++failures;
    }
  });
  for (int t = 0; t < inserters; ++t)
    threads.emplace_back([&, t] {
      try {
        auto view = open_map(name_);
        for (int i = 0; i < per; ++i) {
          const u64 id = 1000000 + u64(t) * per + i;
          put(*view, key_of(id), value_of(id));
          if (find(*view, key_of(id)) != value_of(id)) ++failures;
          const u64 old = static_cast<u64>(i) % prefill;
          if (find(*view, key_of(old)) != value_of(old)) ++failures;
        }
      } catch (const std::exception &e) {
        std::fprintf(stderr, "inserter: %s\n", e.what());
        ++failures;
      }
      --running;
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  const u64 total = prefill + inserters * per;
  EXPECT_EQ(m->entry_count(), total);
  distinct_keys(*m, total);
  expect_idle(*m);
}

}  // namespace
}  // namespace fennowick::testing
