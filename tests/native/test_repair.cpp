// The checker's view of lock holders and registry slots, and the offline
// repair, on maps left behind by processes that were SIGKILLed.
#include <signal.h>
#include <sys/wait.h>

#include <set>

#include "map/checker.hpp"
#include "map/repair.hpp"
#include "map_fixture.hpp"
#include "shm/region.hpp"

namespace fennowick {
namespace {

using namespace fennowick::testing;
using u64 = std::uint64_t;
using u32 = std::uint32_t;
using namespace std::chrono_literals;

// Waits (bounded) until flag reads at least `value`; false on timeout.
bool wait_for(SharedArray<u64> &flags, std::size_t i, u64 value, std::chrono::seconds limit = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (flags.at(i).load() < value)
    if (std::chrono::steady_clock::now() > deadline) return false;
    else std::this_thread::sleep_for(1ms);
  return true;
}

void kill_and_reap(pid_t pid) {
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
}

const HeldLock *bucket_lock(const CheckReport &r, u64 k) {
  for (const HeldLock &h : r.held_locks)
    if (h.lock == "bucket" && h.bucket == k) return &h;
  return nullptr;
}

// A child that opens the map, runs `hold` (which takes something and keeps
// it), reports, and waits to be killed.
pid_t holder_child(const std::string &name, SharedArray<u64> &flags, std::function<void(Map &)> hold) {
  return spawn([&name, &flags, hold] {
    auto m = open_map(name);
    hold(*m);
    flags.at(0).store(static_cast<u64>(getpid()));
    for (;;) pause();
    return true;
  }, 60);
}

class Repair : public MapTest {};

// A bucket lock held by a process that was SIGKILLed: the check names the
// dead holder (not damage, needs recovery); opening recovers the slot, after
// which the word's holder is gone; the next operation on the bucket takes the
// word over, and the check is clean again.
TEST_F(Repair, DeadBucketHolderIsReportedAndRecovered) {
  auto m = create();
  for (u64 i = 0; i < 200; ++i) put(*m, key_of(i), value_of(i));
  m.reset();
  SharedArray<u64> flags(1);
  const pid_t child = holder_child(name_, flags, [](Map &c) { c.lock_bucket(c.bucket_at(0)); });
  ASSERT_TRUE(wait_for(flags, 0, 1)) << "child never took the lock";
  kill_and_reap(child);

  CheckReport r = check_map_file(name_);
  ASSERT_TRUE(r.ok) << r.problem;
  EXPECT_TRUE(r.needs_recovery);
  const HeldLock *h = bucket_lock(r, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->liveness, Liveness::dead);
  EXPECT_EQ(h->pid, static_cast<u32>(child));
  ASSERT_EQ(r.live_slots.size(), 1u);
  EXPECT_EQ(r.live_slots[0].pid, static_cast<u32>(child));
  EXPECT_EQ(r.live_slots[0].liveness, Liveness::dead);

  m = open_map(name_);  // recovers the dead view
  r = check_map_file(name_);
  ASSERT_TRUE(r.ok) << r.problem;
  ASSERT_NE(bucket_lock(r, 0), nullptr);
  EXPECT_EQ(bucket_lock(r, 0)->liveness, Liveness::gone);
  EXPECT_TRUE(r.needs_recovery);

  // Every key, also those of bucket 0, in a child with a deadline: a word
  // that is never taken over would block for good.
  expect_clean_exit(spawn([&] {
    auto c = open_map(name_);
    for (u64 i = 0; i < 200; ++i)
      if (find(*c, key_of(i)) != value_of(i)) return false;
    return true;
  }, 30), 40);
  r = check_map_file(name_);
  EXPECT_TRUE(r.ok) << r.problem;
  EXPECT_FALSE(r.needs_recovery);
  EXPECT_TRUE(r.held_locks.empty());
  EXPECT_EQ(r.exact_entry_count, 200);
}

// Writers in other processes, stopped at arbitrary moments (SIGSTOP): the
// file then holds whatever they were in the middle of, under locks of live
// holders. That is a map in use, never damage, and every holder is alive.
TEST_F(Repair, StoppedWritersAreInUseNotDamaged) {
  auto m = create({.bucket_exp = 2, .chunks = 256, .size = 32ull << 20, .string_exp = 3});
  const int writers = 3;
  StartLine start(writers);
  std::vector<pid_t> pids;
  for (int w = 0; w < writers; ++w)
    pids.push_back(spawn([&, w] {
      auto c = open_map(name_);
      start.arrive_and_wait();
      for (u64 i = 0;; ++i) {
        const std::string k = "w" + std::to_string(w) + "-" + std::to_string(i % 3000);
        if (i % 5 == 4) erase(*c, k);
        else put(*c, k, value_of(i, 8 + i % 90));
      }
      return true;
    }, 60));
  u64 held_seen = 0;
  for (int round = 0; round < 40; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + round % 7));
    for (pid_t p : pids) kill(p, SIGSTOP);
    for (pid_t p : pids) {  // stopped for sure before the file is read
      for (int spin = 0; spin < 2000; ++spin) {
        char path[64], buf[512] = {0};
        std::snprintf(path, sizeof path, "/proc/%d/stat", p);
        FILE *f = std::fopen(path, "r");
        if (f == nullptr) break;
        const std::size_t got = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        const char *close_paren = got ? std::strrchr(buf, ')') : nullptr;
        if (close_paren && close_paren[2] == 'T') break;
        std::this_thread::sleep_for(1ms);
      }
    }
    const CheckReport r = check_map_file(name_);
    EXPECT_TRUE(r.ok) << "round " << round << ": " << r.problem;
    EXPECT_FALSE(r.needs_recovery) << "round " << round;
    for (const HeldLock &h : r.held_locks) {
      EXPECT_EQ(h.liveness, Liveness::alive) << h.lock << " " << h.bucket;
      ++held_seen;
    }
    for (pid_t p : pids) kill(p, SIGCONT);
  }
  for (pid_t p : pids) kill_and_reap(p);
  EXPECT_GT(held_seen, 0u) << "the writers were never caught holding a lock";
}

// The repair refuses while a view of a running process is attached (this
// one's or another's) and names it; the file is left as it was.
TEST_F(Repair, RefusesWhileTheMapIsOpen) {
  auto m = create();
  put(*m, "a", "b");
  RepairReport rep = repair_map_file(name_);
  EXPECT_TRUE(rep.refused);
  EXPECT_FALSE(rep.done);
  ASSERT_EQ(rep.blocking.size(), 1u);
  EXPECT_EQ(rep.blocking[0].pid, static_cast<u32>(getpid()));
  m.reset();

  SharedArray<u64> flags(1);
  const pid_t child = holder_child(name_, flags, [](Map &) {});
  ASSERT_TRUE(wait_for(flags, 0, 1));
  rep = repair_map_file(name_);
  EXPECT_TRUE(rep.refused);
  ASSERT_EQ(rep.blocking.size(), 1u);
  EXPECT_EQ(rep.blocking[0].pid, static_cast<u32>(child));
  kill_and_reap(child);

  rep = repair_map_file(name_);
  EXPECT_TRUE(rep.done) << rep.problem;
  EXPECT_EQ(rep.dead_views, 1u);
  EXPECT_EQ(rep.entries_found, 1u);
}

u64 free_list_length(const unsigned char *arena, std::size_t record_offset) {
  u64 head = load<u64>(arena + record_offset + offsetof(ClassRecord, head)), n = 0;
  while (head != 0 && n < (u64{1} << 32)) {
    ++n;
    head = load<u64>(arena + head + 2);
  }
  return n;
}

// Writers SIGKILLed at arbitrary moments, one of them holding chunks carved
// from the arena that it never stored anywhere (what a process has in hand
// mid-refill): the repair gives back at least those, the check is clean
// afterwards, every acknowledged entry is there, and the count is exact.
TEST_F(Repair, ReclaimsWhatKilledWritersHeldAndKeepsEveryEntry) {
  auto m = create({.bucket_exp = 2, .chunks = 256, .size = 32ull << 20, .string_exp = 3});
  const std::uint8_t unit = m->data_chunk_unit();
  m.reset();
  // First, so that its chunks lie below anything the writers carve: a
  // writer killed while carving leaves chunks without headers, where the
  // sweep stops.
  SharedArray<u64> flags(1);
  const pid_t carver = holder_child(name_, flags, [unit](Map &c) {
    ASSERT_NE(arena_alloc_chunks(c.arena_base(), 10, unit), nullptr);
    ASSERT_NE(arena_alloc_chunks(c.arena_base(), 7, unit_link), nullptr);
    ASSERT_NE(arena_alloc_chunks(c.arena_base(), 3, unit_node), nullptr);
  });
  ASSERT_TRUE(wait_for(flags, 0, 1));
  kill_and_reap(carver);
  const int writers = 4;
  constexpr u64 per_writer = 1 << 20;
  SharedArray<u64> acked(writers);
  std::vector<pid_t> pids;
  for (int w = 0; w < writers; ++w)
    pids.push_back(spawn([&, w] {
      auto c = open_map(name_);
      for (u64 i = 0; i < per_writer; ++i) {
        const std::string k = "w" + std::to_string(w) + "-" + std::to_string(i);
        put(*c, k, value_of(i, 20 + i % 200));
        if (i % 3 == 2) put(*c, k, value_of(i + 1, 5 + i % 70));  // replace
        acked.at(static_cast<std::size_t>(w)).store(i + 1);
      }
      return true;
    }, 60));
  for (int w = 0; w < writers; ++w) {
    ASSERT_TRUE(wait_for(acked, static_cast<std::size_t>(w), 200 + 150 * static_cast<u64>(w)));
    kill_and_reap(pids[static_cast<std::size_t>(w)]);
  }

  const RepairReport rep = repair_map_file(name_);
  ASSERT_TRUE(rep.done) << rep.problem;
  if (!rep.sweep_complete) EXPECT_NE(rep.sweep_stop.find("carving never finished"), std::string::npos) << rep.sweep_stop;
  EXPECT_GE(rep.dead_views, 1u);  // the last writer killed: nobody was left to recover it
  u64 reclaimed = 0;
  for (const auto &c : rep.reclaimed) reclaimed += c.chunks;
  EXPECT_GE(rep.reclaimed[0].chunks, 3u);   // nodes
  EXPECT_GE(reclaimed, 20u);
  EXPECT_TRUE(rep.after.ok) << rep.after.problem;
  EXPECT_FALSE(rep.after.needs_recovery);
  EXPECT_TRUE(rep.after.held_locks.empty());
  EXPECT_TRUE(rep.after.live_slots.empty());

  m = open_map(name_);
  const unsigned char *arena = m->arena_base();
  const u64 listed = free_list_length(arena, offsetof(ArenaHeader, class176)) +
                     free_list_length(arena, offsetof(ArenaHeader, class16)) +
                     free_list_length(arena, offsetof(ArenaHeader, class_data));
  EXPECT_GE(listed, reclaimed);
  u64 present = 0;
  for (int w = 0; w < writers; ++w) {
    const u64 done = acked.at(static_cast<std::size_t>(w)).load();
    for (u64 i = 0; i <= done; ++i) {  // i == done: the one in flight may or may not be there
      const std::string k = "w" + std::to_string(w) + "-" + std::to_string(i);
      const auto got = find(*m, k);
      if (i < done) {
        ASSERT_TRUE(got.has_value()) << k;
        EXPECT_TRUE(*got == value_of(i, 20 + i % 200) || (i % 3 == 2 && *got == value_of(i + 1, 5 + i % 70))) << k;
      }
      present += got.has_value();
    }
  }
  EXPECT_EQ(m->entry_count(), present);
  EXPECT_EQ(rep.entries_found, present);
  m.reset();
  const CheckReport r = check_map_file(name_);
  EXPECT_TRUE(r.ok) << r.problem;
  EXPECT_EQ(r.entries_found, present);
}

// A file whose blocks do not record their size (made before they did): the
// sweep stops at the first such block and says so; what lies before it is
// reclaimed, what lies beyond is not, and the map is still sound.
TEST_F(Repair, SweepStopsAtABlockWithoutRecordedSize) {
  auto m = create();
  const std::uint8_t unit = m->data_chunk_unit();
  unsigned char *arena = m->arena_base();
  for (u64 i = 0; i < 50; ++i) put(*m, key_of(i), value_of(i));
  struct Case {
    const char *name;
    bool erase_table_size;  // the table block is carved before any entry's chunks
  };
  for (const Case c : {Case{"sizes recorded", false}, Case{"table size unrecorded", true}}) {
    SCOPED_TRACE(c.name);
    m = open_map(name_);
    arena = m->arena_base();
    ASSERT_NE(arena_alloc_chunks(arena, 4, unit), nullptr);  // lost: nothing names them
    const u64 table_block = header_of(*m).table - 8;
    if (c.erase_table_size) std::memset(arena + table_block + 1, 0, 5);
    m.reset();
    const RepairReport rep = repair_map_file(name_);
    ASSERT_TRUE(rep.done) << rep.problem;
    if (c.erase_table_size) {
      EXPECT_FALSE(rep.sweep_complete);
      EXPECT_EQ(rep.swept_to, table_block);
      EXPECT_NE(rep.sweep_stop.find("without a recorded size"), std::string::npos) << rep.sweep_stop;
      EXPECT_EQ(rep.reclaimed[2].chunks, 0u);
    } else {
      EXPECT_TRUE(rep.sweep_complete) << rep.sweep_stop;
      EXPECT_EQ(rep.swept_to, rep.bump);
      EXPECT_EQ(rep.reclaimed[2].chunks, 4u);
    }
    EXPECT_EQ(rep.entries_found, 50u);
  }
  m = open_map(name_);
  for (u64 i = 0; i < 50; ++i) EXPECT_EQ(find(*m, key_of(i)), value_of(i));
}

}  // namespace
}  // namespace fennowick
