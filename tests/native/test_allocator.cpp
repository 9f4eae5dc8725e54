// Allocator: when takes refill and by how much, the shape of refilled chains,
// release against the cache cap, flush, node payload clearing, failures that
// leave the cache as it was, threads sharing one cache, and fork.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "shm/allocator.hpp"
#include "shm/spin_lock.hpp"
#include "shm_test_support.hpp"

namespace fennowick {
namespace {

using shm_testing::View;

constexpr std::uint8_t records = 2;  // the node allocator's unit

// Link addresses of an n-link chain.
std::vector<unsigned char *> chain(const Allocator &a, unsigned char *first, std::uint64_t n) {
  std::vector<unsigned char *> links;
  for (std::uint64_t i = 0; i < n; ++i, first = a.next_of(first)) links.push_back(first);
  return links;
}

bool all_zero(const unsigned char *p, std::size_t n) {
  return std::all_of(p, p + n, [](unsigned char b) { return b == 0; });
}

std::string error_text() { return last_error() ? last_error() : "(none)"; }

class AllocatorTest : public shm_testing::RegionTest {
protected:
  View region(std::uint64_t size = 4 << 20, unsigned char data_unit = 32) {
    View v = create(size, data_unit);
    EXPECT_TRUE(v) << error_text();
    return v;
  }
};

// ---------------------------------------------------------------- takes

struct TakeStep {
  std::uint64_t take;
  std::uint64_t cached_after;
  std::uint64_t made;  // links the take had to make
};

struct TakeCase {
  const char *name;
  std::uint8_t unit;
  std::vector<TakeStep> steps;
};

void PrintTo(const TakeCase &c, std::ostream *os) { *os << c.name; }

class AllocatorTakes : public AllocatorTest, public ::testing::WithParamInterface<TakeCase> {};

TEST_P(AllocatorTakes, RefillOnlyWhenDryAndByAtLeastOneHundred) {
  const TakeCase c = GetParam();
  View v = region();
  Allocator a(c.unit, v.base);
  const std::uint64_t payload_unit = c.unit == records ? 176 : c.unit;
  const std::uint64_t per_link = 24 + chunk_size_for(static_cast<std::uint8_t>(payload_unit));
  EXPECT_EQ(a.payload_unit(), payload_unit);

  std::set<std::uint64_t> handed_out;  // links and payloads, none of them given back
  for (const TakeStep &s : c.steps) {
    const std::uint64_t bump = v.bump();
    unsigned char *first = c.unit == records ? a.take_records(s.take) : a.take_data(s.take);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(a.count(), s.cached_after) << "after take " << s.take;
    EXPECT_EQ((v.bump() - bump) / per_link, s.made) << "after take " << s.take;
    if (s.cached_after == 0) {
      EXPECT_EQ(a.head(), nullptr);
    }

    for (unsigned char *link : chain(a, first, s.take)) {
      unsigned char *payload = a.payload_of(link);
      EXPECT_TRUE(handed_out.insert(v.off(link)).second) << "link handed out twice";
      EXPECT_TRUE(handed_out.insert(v.off(payload)).second) << "payload handed out twice";
      ASSERT_EQ(link[-1], unit_link);
      ASSERT_EQ(payload[-1], payload_unit);
      if (c.unit == records) {
        ASSERT_TRUE(all_zero(payload, 176)) << "fresh node payloads are zero";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, AllocatorTakes,
    ::testing::Values(
        TakeCase{"OneFromEmpty", records, {{1, 99, 100}, {99, 0, 0}, {1, 99, 100}}},
        TakeCase{"MoreThanCachedNeedsOver100", records, {{80, 20, 100}, {150, 0, 130}}},
        TakeCase{"ExactlyTheCache", 32, {{30, 70, 100}, {70, 0, 0}, {5, 95, 100}}},
        TakeCase{"Exactly100And101", 32, {{100, 0, 100}, {101, 0, 101}}},
        TakeCase{"Large", 32, {{250, 0, 250}, {1, 99, 100}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(AllocatorTest, RefillOf250ComesInBatchesOf100_100_50LinkedInOrder) {
  View v = region();
  Allocator a(32, v.base);
  const std::uint64_t bump = v.bump();
  unsigned char *tail = nullptr;
  unsigned char *first = a.refill_data(250, tail);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(a.count(), 0u) << "a refill alone does not touch the cache";
  EXPECT_EQ(v.bump(), bump + 250 * (24 + 40));

  // Arena order per batch: m link chunks, then m payload chunks.
  const std::vector<unsigned char *> links = chain(a, first, 250);
  EXPECT_EQ(links.back(), tail);
  for (std::size_t i = 1; i < links.size(); ++i) {
    const bool batch_start = i == 100 || i == 200;
    EXPECT_EQ(v.off(links[i]) - v.off(links[i - 1]), batch_start ? 24 + 100 * 40 : 24u) << "link " << i;
    // Between payload runs lies the next batch's link run: 100 links, then 50.
    const std::uint64_t run = i == 100 ? 100 : 50;
    EXPECT_EQ(v.off(a.payload_of(links[i])) - v.off(a.payload_of(links[i - 1])), batch_start ? 40 + run * 24 : 40u)
        << "payload " << i;
  }

  a.push_front(first, tail, 250);
  EXPECT_EQ(a.count(), 250u);
  EXPECT_EQ(a.head(), first);
}

TEST_F(AllocatorTest, FreshLinksGoInFrontOfCachedOnes) {
  View v = region();
  Allocator a(records, v.base);
  a.take_records(1);
  const std::vector<unsigned char *> old = chain(a, a.head(), 99);

  unsigned char *taken = a.take_records(100);
  const std::vector<unsigned char *> fresh = chain(a, taken, 100);
  for (unsigned char *link : fresh) EXPECT_EQ(std::count(old.begin(), old.end(), link), 0);
  EXPECT_EQ(a.count(), 99u);
  EXPECT_EQ(chain(a, a.head(), 99), old) << "the old cache follows the fresh links";

  unsigned char *tail = nullptr;
  unsigned char *pushed = a.refill_records(10, tail);
  a.push_front(pushed, tail, 10);
  EXPECT_EQ(a.count(), 109u);
  const std::vector<unsigned char *> all = chain(a, a.head(), 109);
  EXPECT_EQ(all.front(), pushed);
  EXPECT_EQ(std::vector<unsigned char *>(all.begin() + 10, all.end()), old);
}

// Takes that end inside, at or past the chain released or refilled last, and
// releases with and without their last link, checked against a model of the
// cache as a list: each take hands out the model's front and leaves the rest
// chained from the head; releases past the cap keep only what fits.
TEST_F(AllocatorTest, CacheStaysTheModelsListOverMixedTakesAndReleases) {
  View v = region(1 << 19, 32);  // a cap of 512 links, reached on the way
  Allocator a(32, v.base);
  std::vector<unsigned char *> model;                // the cache, head first
  std::vector<std::vector<unsigned char *>> held;    // chains taken, not yet released
  std::uint64_t seed = 12345;
  auto next = [&](std::uint64_t bound) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    return (seed >> 33) % bound;
  };
  for (int step = 0; step < 400; ++step) {
    std::uint64_t held_links = 0;
    for (const auto &c : held) held_links += c.size();
    const bool take = held.empty() || (next(3) != 0 && held_links < 1000);
    if (take) {
      // Often exactly the length of the chain released last, as a replace does.
      const std::uint64_t n = !held.empty() && next(2) ? held.back().size() : 1 + next(150);
      const std::uint64_t had = model.size();
      unsigned char *first = a.take_data(n);
      if (had < n) {  // a refill of k links went in front of the model's
        const std::uint64_t k = a.count() + n - had;
        std::vector<unsigned char *> all = chain(a, first, k + had);
        ASSERT_TRUE(std::equal(model.begin(), model.end(), all.begin() + static_cast<std::ptrdiff_t>(k)))
            << "step " << step << ": the old cache follows the fresh links";
        model = all;
      }
      ASSERT_EQ(chain(a, first, n), std::vector<unsigned char *>(model.begin(), model.begin() + n)) << "step " << step;
      held.emplace_back(model.begin(), model.begin() + n);
      model.erase(model.begin(), model.begin() + n);
    } else {
      const std::size_t pick = next(held.size());
      std::vector<unsigned char *> c = std::move(held[pick]);
      held.erase(held.begin() + static_cast<std::ptrdiff_t>(pick));
      a.release(c.size(), c.front(), next(2) ? c.back() : nullptr);
      // Past the cap the rest goes back to the arena.
      const std::size_t keep = std::min(c.size(), a.cache_cap() - model.size());
      model.insert(model.begin(), c.begin(), c.begin() + static_cast<std::ptrdiff_t>(keep));
    }
    ASSERT_EQ(a.count(), model.size()) << "step " << step;
    if (!model.empty()) {
      ASSERT_EQ(a.head(), model.front()) << "step " << step;
      ASSERT_EQ(chain(a, a.head(), model.size()), model) << "step " << step;
    }
  }
  for (const auto &c : held) a.release(c.size(), c.front(), c.back());
  a.flush();
}

TEST_F(AllocatorTest, NodePayloadKeepsItsBytesInTheCacheAndIsClearedWhenMadeAgain) {
  View v = region();
  Allocator a(records, v.base);
  unsigned char *link = a.take_records(1);
  unsigned char *payload = a.payload_of(link);
  std::memset(payload, 0xab, 176);

  a.release(1, link);
  EXPECT_EQ(a.count(), 100u);
  EXPECT_EQ(a.take_records(1), link) << "last released, first taken";
  EXPECT_EQ(payload[100], 0xab) << "a cached node is handed out as its last user left it";
  a.release(1, link);

  a.flush();
  EXPECT_EQ(a.count(), 0u);
  const std::uint64_t bump = v.bump();
  unsigned char *again = a.take_records(1);
  EXPECT_EQ(v.bump(), bump) << "the refill after a flush reuses the flushed chunks";
  EXPECT_EQ(a.count(), 99u);
  std::vector<unsigned char *> made = chain(a, a.head(), 99);
  made.push_back(again);
  bool saw_marked_payload = false;
  for (unsigned char *l : made) {
    saw_marked_payload |= a.payload_of(l) == payload;
    EXPECT_TRUE(all_zero(a.payload_of(l), 176));
  }
  EXPECT_TRUE(saw_marked_payload);
}

// ---------------------------------------------------------------- release

struct ReleaseCase {
  std::int64_t below_cap;  // links cached before the release: the cap minus this (none when it is the cap)
  std::uint64_t released;
  std::uint64_t kept;
};

void PrintTo(const ReleaseCase &c, std::ostream *os) {
  *os << c.released << " into cap - " << c.below_cap << " keeps " << c.kept;
}

class AllocatorRelease : public AllocatorTest, public ::testing::WithParamInterface<ReleaseCase> {};

// The cache count is set with push_front over a single link: release never
// walks the cache, so this reaches the cap without carving a million links.
// The allocator is not flushed afterwards for the same reason.
TEST_P(AllocatorRelease, CacheKeepsUpToTheCapAndTheRestGoesBackPayloadFirst) {
  const ReleaseCase p = GetParam();
  View v = region(1 << 20, 16);  // data unit 16: links and payloads share one list
  Allocator a(16, v.base);
  struct {
    std::uint64_t cached, released, kept;
  } c{a.cache_cap() - p.below_cap, p.released, p.kept};
  unsigned char *dummy = a.take_data(c.released + 1);
  unsigned char *first = a.next_of(dummy);
  const std::vector<unsigned char *> links = chain(a, first, c.released);
  std::vector<unsigned char *> payloads;
  for (unsigned char *l : links) payloads.push_back(a.payload_of(l));
  a.flush();
  if (c.cached) a.push_front(dummy, dummy, c.cached);
  unsigned char *const head = a.head();
  const std::uint64_t list_before = load<std::uint64_t>(v.base + 49);

  a.release(c.released, first);
  EXPECT_EQ(a.count(), c.cached + c.kept);
  if (c.kept) {
    EXPECT_EQ(a.head(), first);
    if (c.cached) {
      EXPECT_EQ(a.next_of(links[c.kept - 1]), dummy) << "kept links lead into the old cache";
    }
  } else {
    EXPECT_EQ(a.head(), head);
  }

  // The arena's list, newest first: link, payload, link, payload, ...
  std::vector<std::uint64_t> expected;
  for (std::uint64_t i = c.released; i-- > c.kept;) {
    expected.push_back(v.off(links[i]) - 2);
    expected.push_back(v.off(payloads[i]) - 2);
  }
  std::vector<std::uint64_t> listed;
  for (std::uint64_t off = load<std::uint64_t>(v.base + 49); off != list_before && listed.size() < 2 * c.released;
       off = load<std::uint64_t>(v.base + off + 2))
    listed.push_back(off);
  EXPECT_EQ(listed, expected);
}

INSTANTIATE_TEST_SUITE_P(Counts, AllocatorRelease,
                         ::testing::Values(ReleaseCase{0, 2, 0}, ReleaseCase{2, 2, 2}, ReleaseCase{1, 3, 1},
                                           ReleaseCase{-500, 1, 0}));

// The cap: 1,048,576 links, or a sixteenth of the arena in links with their
// payloads when that is less, never under 200.
TEST_F(AllocatorTest, CacheCapIsASixteenthOfTheArenaAtMost) {
  struct Case {
    std::uint64_t arena;
    std::uint8_t unit;
    std::uint64_t cap;
  };
  // cap 0: a sixteenth of the arena in links (24 bytes) with their unit-16 payloads (24 bytes)
  for (const Case c : {Case{1 << 20, 16, 0}, Case{1 << 16, 32, 200}, Case{std::uint64_t{1} << 30, 32, 1048576}}) {
    View v = region(c.arena, c.unit);
    Allocator a(c.unit, v.base);
    const std::uint64_t arena = load<std::uint64_t>(v.base + offsetof(ArenaHeader, arena_size));
    EXPECT_EQ(a.cache_cap(), c.cap ? c.cap : arena / 16 / 48) << c.arena;
    Allocator nodes(2, v.base);
    EXPECT_LE(nodes.cache_cap(), a.cache_cap()) << "larger payloads, fewer links";
  }
}

TEST_F(AllocatorTest, RefusedChunkThrowsOnReleaseAndTerminatesFlush) {
  View v = region(1 << 20, 16);
  Allocator a(16, v.base);
  unsigned char *dummy = a.take_data(3);
  unsigned char *first = a.next_of(dummy);
  unsigned char *second = a.next_of(first);
  a.flush();
  a.push_front(dummy, dummy, a.cache_cap());  // full: releases go to the arena
  a.payload_of(second)[-1] = 168;                         // a unit with no class

  try {
    a.release(2, first);
    ADD_FAILURE() << "release of a refused chunk must throw";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "check_free<true>(Allocator allocator, void * target) failed!");
  }
  EXPECT_EQ(load<std::uint64_t>(v.base + 49), v.off(first) - 2) << "the first link went back before the failure";

  // flush cannot report the refusal to anyone, so it ends the process. The
  // cache is filled inside the death test's child: fork empties the caches.
  EXPECT_DEATH(
      {
        Allocator b(16, v.base);
        unsigned char *tail = nullptr;
        unsigned char *made = b.refill_data(1, tail);
        b.push_front(made, tail, 1);
        b.payload_of(made)[-1] = 168;
        b.flush();
      },
      "");
}

// ---------------------------------------------------------------- failures

// Near the end of the arena a refill of a hundred links fails; the take then
// asks for exactly what it lacks, and a failed refill leaves nothing taken.
TEST_F(AllocatorTest, NearlyFullArenaServesTheShortfallAndLosesNothing) {
  View v = region(64 << 10, 32);
  Allocator a(32, v.base);
  std::vector<unsigned char *> taken;
  try {
    for (;;) taken.push_back(a.take_data(1));
  } catch (const std::runtime_error &) {
  }
  ASSERT_GT(taken.size(), 500u);
  EXPECT_EQ(a.count(), 0u) << "the last takes carved one link each";
  for (std::size_t i = 0; i < 40; ++i) a.release(1, taken[i]);
  a.flush();  // 40 links and payloads on the arena's free lists
  EXPECT_THROW(a.take_data(41), std::runtime_error);
  EXPECT_THROW(a.take_data(100), std::runtime_error);
  EXPECT_EQ(a.count(), 0u);
  unsigned char *got = a.take_data(40);  // all of them still there
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(chain(a, got, 40).size(), 40u);
  EXPECT_THROW(a.take_data(1), std::runtime_error);
}

TEST_F(AllocatorTest, DataUnitZeroFailsEveryRefillWithWhateverErrnoHeld) {
  View v = region(1 << 20, 0);
  Allocator a(0, v.base);
  for (int err : {EDOM, ERANGE}) {
    errno = err;
    try {
      a.take_data(1);
      ADD_FAILURE() << "unit 0 has no chunks";
    } catch (const std::runtime_error &e) {
      EXPECT_STREQ(e.what(), std::strerror(err));
    }
    EXPECT_EQ(a.count(), 0u);
    EXPECT_EQ(a.head(), nullptr);
  }
}

TEST_F(AllocatorTest, OutOfSpaceThrowsAndLeavesTheCacheUsable) {
  View v = region(150 * (24 + 184), 32);  // room for 150 nodes
  Allocator a(records, v.base);
  a.take_records(1);
  unsigned char *const head = a.head();
  try {
    a.take_records(200);
    ADD_FAILURE() << "the refill cannot fit";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), std::strerror(ENOMEM));
  }
  EXPECT_EQ(error_text(), "mm:alloc: out of memory");
  EXPECT_EQ(a.count(), 99u);
  EXPECT_EQ(a.head(), head);
  // The lock was given back and the cache still serves.
  EXPECT_EQ(a.take_records(99), head);
  EXPECT_EQ(a.count(), 0u);
}

// ---------------------------------------------------------------- concurrency

TEST_F(AllocatorTest, ThreadsSharingOneAllocatorNeverGetOneLinkTwice) {
  constexpr int threads = 4, rounds = 3000;
  View v = region(8 << 20, 32);
  Allocator a(32, v.base);
  std::vector<std::atomic<std::uint8_t>> owner(v.arena_size() / 8);
  std::atomic<int> faults{0};

  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      const std::uint8_t tag = static_cast<std::uint8_t>(t + 1);
      std::uint64_t seed = 0x9e3779b97f4a7c15ull * tag;
      auto claim = [&](const void *p, std::uint8_t from, std::uint8_t to) {
        if (!owner[v.off(p) / 8].compare_exchange_strong(from, to)) ++faults;
      };
      for (int r = 0; r < rounds; ++r) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        const std::uint64_t n = 1 + (seed >> 33) % 150;
        unsigned char *first = a.take_data(n);
        const std::vector<unsigned char *> links = chain(a, first, n);
        for (unsigned char *l : links) claim(l, 0, tag), claim(a.payload_of(l), 0, tag);
        for (unsigned char *l : links) claim(l, tag, 0), claim(a.payload_of(l), tag, 0);
        a.release(n, first);
      }
    });
  for (auto &w : workers) w.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(a.count() * (24 + 40), v.bump() - 64) << "every link made is back in the cache";
}

TEST_F(AllocatorTest, ForkedChildStartsWithEveryAllocatorEmptyAndUnlocked) {
  static_assert(std::is_standard_layout_v<Allocator>, "the lock word is reached as the first member");
  View v = region();
  Allocator a(32, v.base);
  a.take_data(1);
  ASSERT_EQ(a.count(), 99u);

  struct Report {
    std::uint64_t count_at_start;
    std::uint64_t links[150];
    std::uint64_t payloads[150];
  };
  Report *report = shm_testing::shared_array<Report>(1);
  ASSERT_NE(report, nullptr);

  // As if another parent thread were inside take at the moment of the fork.
  auto &lock_word = *reinterpret_cast<std::uint64_t *>(&a);
  spin_lock_yielding(lock_word);
  pid_t pid = shm_testing::fork_child(
      [&] {
        report->count_at_start = a.count();
        unsigned char *first = a.take_data(150);  // hangs until the alarm if still locked
        std::uint64_t i = 0;
        for (unsigned char *l : chain(a, first, 150)) {
          std::memset(a.payload_of(l), 0xc1, 32);
          report->links[i] = v.off(l);
          report->payloads[i++] = v.off(a.payload_of(l));
        }
        return 0;
      },
      10);
  const std::string how = shm_testing::wait_child(pid, 15);
  spin_unlock(lock_word);
  ASSERT_EQ(how, "exit 0");
  EXPECT_EQ(report->count_at_start, 0u);

  // The parent's cache is still its own: no refill, and none of its links or
  // payloads went to the child.
  const std::uint64_t bump = v.bump();
  std::set<std::uint64_t> child(report->links, report->links + 150);
  child.insert(report->payloads, report->payloads + 150);
  for (unsigned char *l : chain(a, a.take_data(99), 99)) {
    EXPECT_EQ(child.count(v.off(l)), 0u);
    EXPECT_EQ(child.count(v.off(a.payload_of(l))), 0u);
    std::memset(a.payload_of(l), 0xa1, 32);
  }
  EXPECT_EQ(v.bump(), bump);
  for (std::uint64_t off : report->payloads) EXPECT_EQ(v.base[off + 31], 0xc1) << "child payload at " << off;
  shm_testing::unmap_array(report, 1);
}

}  // namespace
}  // namespace fennowick
