// Chunk allocator: carving order and chunk headers, the three free lists as
// stacks, runs that mix listed and fresh chunks, blocks, exhaustion, refused
// requests, damaged free lists, and allocation by several processes at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "shm_test_support.hpp"

namespace fennowick {
namespace {

using shm_testing::View;

std::uint64_t list_head(const View &v, int record) { return load<std::uint64_t>(v.base + 19 + 10 * record); }
void set_list_head(const View &v, int record, std::uint64_t off) { store<std::uint64_t>(v.base + 19 + 10 * record, off); }
std::uint64_t next_of(const View &v, std::uint64_t chunk) { return load<std::uint64_t>(v.base + chunk + 2); }

// Arena offsets of the `count` chunks of a run, following the next fields.
std::vector<std::uint64_t> run_offsets(const View &v, const unsigned char *first, std::uint64_t count) {
  std::vector<std::uint64_t> offs;
  std::uint64_t off = v.off(first);
  for (std::uint64_t i = 0; i < count; ++i) {
    offs.push_back(off);
    off = next_of(v, off);
  }
  return offs;
}

std::string error_text() { return last_error() ? last_error() : "(none)"; }

class ArenaTest : public shm_testing::RegionTest {};

// ---------------------------------------------------------------- carving

TEST_F(ArenaTest, FirstChunkIsTheMapHeaderAtOffset64AndUnitsWithoutClassAreAlwaysCarved) {
  View v = create(1 << 20, 32);
  ASSERT_TRUE(v) << error_text();
  unsigned char *header = arena_alloc_chunks(v.base, 1, unit_map_header);
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(v.off(header), 64u);
  EXPECT_EQ(v.off(header + 2), 66u) << "payload";
  EXPECT_EQ(header[0], 176);
  EXPECT_EQ(header[1], 168);
  EXPECT_EQ(v.bump(), 240u);

  header[2] = 0xab;
  EXPECT_FALSE(arena_free_chunk(v.base, header + 2));
  EXPECT_EQ(header[2], 0xab) << "a refused chunk is not touched";
  for (int r = 0; r < 4; ++r) EXPECT_EQ(list_head(v, r), 0u);
  unsigned char *again = arena_alloc_chunks(v.base, 1, unit_map_header);
  EXPECT_EQ(v.off(again), 240u) << "carved anew, never reused";
}

struct UnitCase {
  std::uint8_t unit;
  std::uint8_t data_unit;
  std::uint64_t chunk_size;
  int record;  // class record whose list takes the chunk; 0: no class
};

void PrintTo(const UnitCase &c, std::ostream *os) {
  *os << "unit " << +c.unit << " data unit " << +c.data_unit << " size " << c.chunk_size << " record " << c.record;
}

class ArenaUnits : public ArenaTest, public ::testing::WithParamInterface<UnitCase> {};

TEST_P(ArenaUnits, RunsAreCarvedInOrderAndFreedChunksComeBackAsAStack) {
  const UnitCase c = GetParam();
  View v = create(1 << 20, c.data_unit);
  ASSERT_TRUE(v) << error_text();
  ASSERT_NE(arena_alloc_chunks(v.base, 1, unit_map_header), nullptr);
  const std::uint64_t bump0 = v.bump();

  unsigned char *first = arena_alloc_chunks(v.base, 5, c.unit);
  ASSERT_NE(first, nullptr) << error_text();
  EXPECT_EQ(v.bump(), bump0 + 5 * c.chunk_size);
  for (std::uint64_t i = 0; i < 5; ++i) {
    const std::uint64_t off = bump0 + i * c.chunk_size;
    EXPECT_EQ(v.base[off], c.chunk_size) << "chunk " << i;
    EXPECT_EQ(v.base[off + 1], c.unit) << "chunk " << i;
    // Each next names the following chunk; the last one names the new bump.
    EXPECT_EQ(next_of(v, off), off + c.chunk_size) << "chunk " << i;
  }

  const std::vector<std::uint64_t> offs = run_offsets(v, first, 5);
  for (std::uint64_t off : offs) EXPECT_EQ(arena_free_chunk(v.base, v.base + off + 2), c.record != 0);
  if (c.record == 0) {
    for (int r = 0; r < 4; ++r) EXPECT_EQ(list_head(v, r), 0u);
    return;
  }
  for (int r = 1; r < 4; ++r) EXPECT_EQ(list_head(v, r), r == c.record ? offs.back() : 0u) << "record " << r;

  // Freed last, handed out first; nothing new is carved.
  unsigned char *again = arena_alloc_chunks(v.base, 5, c.unit);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(run_offsets(v, again, 5), std::vector<std::uint64_t>(offs.rbegin(), offs.rend()));
  EXPECT_EQ(v.bump(), bump0 + 5 * c.chunk_size);
  EXPECT_EQ(list_head(v, c.record), 0u);
}

INSTANTIATE_TEST_SUITE_P(Units, ArenaUnits,
                         ::testing::Values(UnitCase{16, 32, 24, 2}, UnitCase{176, 32, 184, 1},
                                           UnitCase{8, 8, 16, 3}, UnitCase{32, 32, 40, 3},
                                           UnitCase{64, 64, 72, 3}, UnitCase{128, 128, 136, 3},
                                           // data unit 16: links and data share record 3
                                           UnitCase{16, 16, 24, 3},
                                           // a unit below 8 cannot hold its next field: none is used
                                           UnitCase{168, 32, 176, 0}, UnitCase{8, 32, 16, 0},
                                           UnitCase{100, 32, 104, 0}, UnitCase{246, 32, 248, 0}));

TEST_F(ArenaTest, ShortListIsHandedOutFirstThenFreshChunksFollowInOrder) {
  View v = create(1 << 20, 32);
  ASSERT_TRUE(v) << error_text();
  const std::vector<std::uint64_t> abc = run_offsets(v, arena_alloc_chunks(v.base, 3, 16), 3);
  ASSERT_NE(arena_alloc_chunks(v.base, 1, 176), nullptr);  // keeps fresh chunks away from the listed ones
  ASSERT_TRUE(arena_free_chunk(v.base, v.base + abc[0] + 2));
  ASSERT_TRUE(arena_free_chunk(v.base, v.base + abc[2] + 2));
  const std::uint64_t bump0 = v.bump();

  unsigned char *run = arena_alloc_chunks(v.base, 5, 16);
  ASSERT_NE(run, nullptr) << error_text();
  EXPECT_EQ(run_offsets(v, run, 5),
            (std::vector<std::uint64_t>{abc[2], abc[0], bump0, bump0 + 24, bump0 + 48}));
  EXPECT_EQ(list_head(v, 2), 0u);
  EXPECT_EQ(v.bump(), bump0 + 3 * 24);
}

TEST_F(ArenaTest, ExactFitFillsTheArenaAndARunThatCannotBeFinishedPutsItsChunksBack) {
  View v = create(100 * 24, 32);  // room for exactly 100 links
  ASSERT_TRUE(v) << error_text();
  ASSERT_NE(arena_alloc_chunks(v.base, 100, 16), nullptr) << error_text();
  EXPECT_EQ(v.bump(), v.arena_size());

  // Every further carve or block fails the same way and changes nothing.
  const std::uint64_t bump = v.bump();
  for (auto attempt : {+[](unsigned char *a) -> void * { return arena_alloc_chunks(a, 1, 16); },
                       +[](unsigned char *a) -> void * { return arena_alloc_chunks(a, 1, 8); },
                       +[](unsigned char *a) -> void * { return arena_alloc_chunks(a, 1, 168); },
                       +[](unsigned char *a) -> void * { return arena_alloc_block(a, 1); }}) {
    record_error(0, nullptr);
    errno = 0;
    EXPECT_EQ(attempt(v.base), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(error_text(), "mm:alloc: out of memory");
    EXPECT_EQ(v.bump(), bump);
  }

  // Two listed chunks, three wanted: the run fails as a whole and the two
  // stay listed in their order instead of being lost.
  const std::uint64_t a = 64 + 10 * 24, b = 64 + 20 * 24;
  ASSERT_TRUE(arena_free_chunk(v.base, v.base + a + 2));
  ASSERT_TRUE(arena_free_chunk(v.base, v.base + b + 2));
  errno = 0;
  EXPECT_EQ(arena_alloc_chunks(v.base, 3, 16), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(list_head(v, 2), b);
  EXPECT_EQ(next_of(v, b), a);
  EXPECT_EQ(next_of(v, a), 0u);
  unsigned char *two = arena_alloc_chunks(v.base, 2, 16);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(run_offsets(v, two, 2), (std::vector<std::uint64_t>{b, a}));
}

// ---------------------------------------------------------------- blocks

struct BlockCase {
  std::uint64_t n;
  std::uint64_t occupies;
};

class ArenaBlocks : public ArenaTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(ArenaBlocks, PayloadIsAlignedBehindAZeroHeader) {
  const BlockCase c = GetParam();
  View v = create(1 << 20, 32);
  ASSERT_TRUE(v) << error_text();
  ASSERT_NE(arena_alloc_chunks(v.base, 1, 16), nullptr);  // bump at 88, not a multiple of 16
  const std::uint64_t bump0 = v.bump();

  auto *block = static_cast<unsigned char *>(arena_alloc_block(v.base, c.n));
  ASSERT_NE(block, nullptr) << error_text();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u) << "blocks hold words used atomically";
  EXPECT_EQ(v.off(block), bump0 + 8);
  EXPECT_EQ(block[-2], 0);
  EXPECT_EQ(block[-1], 0);
  EXPECT_EQ(v.bump(), bump0 + c.occupies);
  for (std::uint64_t i = 0; i < c.n; ++i) ASSERT_EQ(block[i], 0) << "fresh space reads as zero, byte " << i;

  // A block is never a chunk: its zero header makes every free refuse it.
  EXPECT_FALSE(arena_free_chunk(v.base, block));
  for (int r = 0; r < 4; ++r) EXPECT_EQ(list_head(v, r), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ArenaBlocks,
                         ::testing::Values(BlockCase{1, 16}, BlockCase{6, 16}, BlockCase{7, 16},
                                           BlockCase{8, 16}, BlockCase{9, 24}, BlockCase{56, 64},
                                           BlockCase{56 * 1024, 57352}));

// ---------------------------------------------------------------- refusals

TEST_F(ArenaTest, MeaninglessRequestsReturnNullWithoutAnyRecord) {
  View v = create(1 << 20, 0);  // data unit 0: the exponent-8 map, whose data chunks are unusable
  ASSERT_TRUE(v) << error_text();
  unsigned char *link = arena_alloc_chunks(v.base, 1, 16);
  ASSERT_NE(link, nullptr);
  const std::uint64_t bump = v.bump();

  record_error(err_core, "untouched");
  errno = EDOM;
  EXPECT_EQ(arena_alloc_chunks(nullptr, 1, 16), nullptr);
  EXPECT_EQ(arena_alloc_chunks(v.base, 0, 16), nullptr);
  EXPECT_EQ(arena_alloc_chunks(v.base, 0, 168), nullptr);
  EXPECT_EQ(arena_alloc_chunks(v.base, 1, 0), nullptr);
  EXPECT_EQ(arena_alloc_block(nullptr, 8), nullptr);
  EXPECT_EQ(arena_alloc_block(v.base, 0), nullptr);
  EXPECT_FALSE(arena_free_chunk(nullptr, link + 2));
  EXPECT_FALSE(arena_free_chunk(v.base, nullptr));
  EXPECT_EQ(errno, EDOM);
  EXPECT_EQ(error_text(), "mm:core: untouched");
  EXPECT_EQ(v.bump(), bump);

  // An absurd block size is out of memory, not a wrapped bump.
  EXPECT_EQ(arena_alloc_block(v.base, ~std::uint64_t{0} - 4), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(v.bump(), bump);
}

struct DamageCase {
  const char *name;
  // Damages the list C -> B -> A of unit-16 chunks; n is a unit-176 chunk.
  std::uint64_t (*target)(const View &v, std::uint64_t n);
  bool second_link;       // damage C's next instead of the head
  std::uint64_t request;  // chunks asked for
};

void PrintTo(const DamageCase &c, std::ostream *os) { *os << c.name; }

class ArenaDamage : public ArenaTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(ArenaDamage, LinkOutsideCarvedSpaceIsReportedNotFollowed) {
  const DamageCase c = GetParam();
  View v = create(1 << 20, 32);
  ASSERT_TRUE(v) << error_text();
  const std::vector<std::uint64_t> abc = run_offsets(v, arena_alloc_chunks(v.base, 3, 16), 3);
  const std::uint64_t n = v.off(arena_alloc_chunks(v.base, 1, 176));
  for (std::uint64_t off : abc) ASSERT_TRUE(arena_free_chunk(v.base, v.base + off + 2));
  const std::uint64_t bad = c.target(v, n);
  if (c.second_link) store<std::uint64_t>(v.base + abc[2] + 2, bad);
  else set_list_head(v, 2, bad);
  const std::uint64_t bump = v.bump(), head = list_head(v, 2);

  record_error(0, nullptr);
  EXPECT_EQ(arena_alloc_chunks(v.base, c.request, 16), nullptr);
  EXPECT_EQ(error_text().rfind("mm:alloc: ", 0), 0u) << error_text();
  EXPECT_EQ(v.bump(), bump);
  EXPECT_EQ(list_head(v, 2), head);
}

INSTANTIATE_TEST_SUITE_P(
    Links, ArenaDamage,
    ::testing::Values(
        DamageCase{"HeadInsideArenaHeader", [](const View &, std::uint64_t) -> std::uint64_t { return 8; }, false, 1},
        DamageCase{"HeadAtBump", [](const View &v, std::uint64_t) { return v.bump(); }, false, 1},
        DamageCase{"HeadPastBump", [](const View &v, std::uint64_t) { return v.bump() + 4096; }, false, 1},
        DamageCase{"HeadPastArena", [](const View &v, std::uint64_t) { return v.arena_size() + 64; }, false, 1},
        DamageCase{"HeadHuge", [](const View &, std::uint64_t) { return std::uint64_t{1} << 63; }, false, 1},
        DamageCase{"HeadOnOtherUnit", [](const View &, std::uint64_t n) { return n; }, false, 1},
        DamageCase{"SecondLinkPastBump", [](const View &v, std::uint64_t) { return v.bump() + 8; }, true, 3},
        DamageCase{"SecondLinkHuge", [](const View &, std::uint64_t) { return ~std::uint64_t{0} - 1; }, true, 2},
        DamageCase{"SecondLinkOnOtherUnit", [](const View &, std::uint64_t n) { return n; }, true, 2}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- processes

// Each chunk handed out is claimed in a table shared by every process: a
// claim that finds the chunk already owned is a chunk handed out twice. The
// claim is dropped before the chunk is freed, since after the free another
// process may rightly get it.
struct Ownership {
  std::atomic<std::uint32_t> *owner;  // one per 8 bytes of arena
  std::uint64_t slots;
};

std::uint64_t xorshift(std::uint64_t &s) {
  s ^= s << 13;
  s ^= s >> 7;
  s ^= s << 17;
  return s;
}

// Returns the number of faults seen.
int churn(unsigned char *base, Ownership own, std::uint32_t tag, std::uint64_t seed, int rounds) {
  static constexpr std::uint8_t units[] = {16, 32, 176};
  struct Held {
    std::uint64_t off;
    std::uint8_t unit;
  };
  std::vector<Held> held;
  int faults = 0;
  auto give_back = [&](std::size_t i) {
    Held h = held[i];
    held[i] = held.back();
    held.pop_back();
    std::uint32_t expected = tag;
    if (!own.owner[h.off / 8].compare_exchange_strong(expected, 0)) ++faults;
    if (base[h.off + 1] != h.unit || !arena_free_chunk(base, base + h.off + 2)) ++faults;
  };
  for (int r = 0; r < rounds; ++r) {
    const std::uint8_t unit = units[xorshift(seed) % 3];
    const std::uint64_t count = 1 + xorshift(seed) % 8;
    unsigned char *run = arena_alloc_chunks(base, count, unit);
    if (run == nullptr) return faults + 1000;
    std::uint64_t off = offset_of(base, run);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t next = load<std::uint64_t>(base + off + 2);
      std::uint32_t expected = 0;
      if (off / 8 >= own.slots || base[off] != chunk_size_for(unit) || base[off + 1] != unit ||
          !own.owner[off / 8].compare_exchange_strong(expected, tag))
        ++faults;
      else
        held.push_back({off, unit});
      off = next;
    }
    while (held.size() > 200 || (!held.empty() && xorshift(seed) % 3 == 0)) give_back(xorshift(seed) % held.size());
  }
  while (!held.empty()) give_back(held.size() - 1);
  return faults;
}

TEST_F(ArenaTest, ProcessesAndThreadsNeverGetOneChunkTwice) {
  constexpr int processes = 2, threads = 2, rounds = 20000;
  const std::uint64_t seed = std::getenv("FENNOWICK_SEED")
                                 ? std::strtoull(std::getenv("FENNOWICK_SEED"), nullptr, 0)
                                 : static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) | 1;
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FENNOWICK_SEED to repeat)");

  View v = create(4 << 20, 32);
  ASSERT_TRUE(v) << error_text();
  Ownership own{nullptr, v.arena_size() / 8};
  own.owner = shm_testing::shared_array<std::atomic<std::uint32_t>>(own.slots);
  ASSERT_NE(own.owner, nullptr);

  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p)
    children.push_back(shm_testing::fork_child([&, p] {
      // Each process maps the file on its own, at its own address.
      View mine = shm_testing::open_view(v.path);
      if (!mine) return 90;
      std::atomic<int> faults{0};
      std::vector<std::thread> workers;
      for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
          const std::uint32_t tag = static_cast<std::uint32_t>(p * threads + t + 1);
          faults += churn(mine.base, own, tag, seed * 0x9e3779b97f4a7c15ull + tag, rounds);
        });
      for (auto &w : workers) w.join();
      mine.close();
      return std::min(faults.load(), 80);
    }));
  for (pid_t pid : children) EXPECT_EQ(shm_testing::wait_child(pid), "exit 0");

  // Everything went back: the three lists hold every carved chunk exactly
  // once, and nothing else.
  std::set<std::uint64_t> seen;
  std::uint64_t listed_bytes = 0;
  const std::uint64_t bump = v.bump();
  const std::uint8_t unit_of_record[4] = {0, 176, 16, 32};
  for (int r = 1; r < 4; ++r) {
    for (std::uint64_t off = list_head(v, r); off != 0; off = next_of(v, off)) {
      ASSERT_TRUE(off >= 64 && off < bump) << "record " << r << " offset " << off;
      ASSERT_TRUE(seen.insert(off).second) << "chunk listed twice: " << off;
      ASSERT_EQ(v.base[off + 1], unit_of_record[r]);
      listed_bytes += v.base[off];
    }
  }
  EXPECT_EQ(listed_bytes, bump - 64);
  EXPECT_TRUE(std::all_of(own.owner, own.owner + own.slots, [](auto &o) { return o.load() == 0; }));
  shm_testing::unmap_array(own.owner, own.slots);
}

}  // namespace
}  // namespace fennowick
