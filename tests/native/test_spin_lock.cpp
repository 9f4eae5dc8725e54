// Spin locks: the values a word takes, release semantics, the guard, and
// mutual exclusion among threads and among processes for both widths and both
// waiting strategies.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "shm/spin_lock.hpp"
#include "shm_test_support.hpp"

namespace fennowick {
namespace {

using shm_testing::fork_child;
using shm_testing::shared_array;
using shm_testing::unmap_array;
using shm_testing::wait_child;

template <class Word> class SpinLockWord : public ::testing::Test {};
using Widths = ::testing::Types<std::uint32_t, std::uint64_t>;
TYPED_TEST_SUITE(SpinLockWord, Widths);

TYPED_TEST(SpinLockWord, WordReadsHeldValueWhileTakenAndZeroWhenFree) {
  using Word = TypeParam;
  // Other processes and the file format see the raw word, so its values are
  // part of the contract: 1 for 32 bits, 1 in the upper half for 64 bits.
  const Word held = sizeof(Word) == 4 ? Word{1} : static_cast<Word>(0x100000000ull);
  alignas(8) Word word = 0;

  spin_lock_yielding(word);
  EXPECT_EQ(word, held);
  EXPECT_FALSE(spin_try_lock(word)) << "a held word must not be taken again";
  spin_unlock(word);
  EXPECT_EQ(word, Word{0});

  spin_lock_sleeping(word);
  EXPECT_EQ(word, held);
  spin_unlock(word);
  EXPECT_EQ(word, Word{0});
}

TYPED_TEST(SpinLockWord, ReleaseStoresFreeWhateverTheWordHeld) {
  using Word = TypeParam;
  for (Word start : {Word{0}, Word{1}, static_cast<Word>(~Word{0}), static_cast<Word>(0x7)}) {
    alignas(8) Word word = start;
    spin_unlock(word);
    EXPECT_EQ(word, Word{0}) << "from " << +start;
    EXPECT_TRUE(spin_try_lock(word));
  }
}

TYPED_TEST(SpinLockWord, GuardReleasedEarlyDoesNotReleaseAgain) {
  using Word = TypeParam;
  alignas(8) Word word = 0;
  {
    SpinGuard<Word> guard(word);
    EXPECT_NE(word, Word{0});
    guard.unlock();
    EXPECT_EQ(word, Word{0});
    // Someone else takes the word; the guard's destructor must leave it held.
    ASSERT_TRUE(spin_try_lock(word));
  }
  EXPECT_NE(word, Word{0});
}

// Every case increments a plain (non-atomic) counter under the lock with a
// read, a pause and a write, so that a lock which lets two holders in loses
// increments almost at once. All participants start together: threads that
// ran one after the other would prove nothing.
template <class Word>
void locked_increments(Word &word, volatile std::uint64_t &counter, int rounds, bool sleeping) {
  for (int i = 0; i < rounds; ++i) {
    if (sleeping) spin_lock_sleeping(word);
    else spin_lock_yielding(word);
    std::uint64_t v = counter;
    for (int spin = 0; spin < 8; ++spin) std::atomic_signal_fence(std::memory_order_seq_cst);
    counter = v + 1;
    spin_unlock(word);
  }
}

struct ContentionCase {
  int width;      // 32 or 64
  bool sleeping;  // sleeping wait instead of yielding
  int processes;
  int threads;    // per process
  int rounds;     // per thread
};

void PrintTo(const ContentionCase &c, std::ostream *os) {
  *os << c.width << "-bit " << (c.sleeping ? "sleeping" : "yielding") << " " << c.processes << "p x "
      << c.threads << "t x " << c.rounds;
}

class SpinLockContention : public ::testing::TestWithParam<ContentionCase> {};

// The word and the counter live in one shared anonymous page, so threads of
// this process and forked children all contend for the same word.
struct SharedCell {
  alignas(64) std::uint64_t word64;
  alignas(64) std::uint32_t word32;
  alignas(64) std::uint64_t counter;
  alignas(64) std::uint32_t ready;
};

void run_threads(SharedCell *cell, const ContentionCase &c) {
  const std::uint32_t everyone = static_cast<std::uint32_t>(c.processes * c.threads);
  std::vector<std::thread> threads;
  for (int t = 0; t < c.threads; ++t)
    threads.emplace_back([&] {
      std::atomic_ref<std::uint32_t> ready(cell->ready);
      ready.fetch_add(1, std::memory_order_acq_rel);
      while (ready.load(std::memory_order_acquire) < everyone) std::this_thread::yield();
      if (c.width == 32) locked_increments(cell->word32, cell->counter, c.rounds, c.sleeping);
      else locked_increments(cell->word64, cell->counter, c.rounds, c.sleeping);
    });
  for (auto &t : threads) t.join();
}

TEST_P(SpinLockContention, PlainCounterCountsEveryIncrement) {
  const ContentionCase c = GetParam();
  SharedCell *cell = shared_array<SharedCell>(1);
  ASSERT_NE(cell, nullptr);
  *cell = SharedCell{};

  std::vector<pid_t> children;
  for (int p = 1; p < c.processes; ++p)
    children.push_back(fork_child([&] {
      run_threads(cell, c);
      return 0;
    }));
  run_threads(cell, c);
  for (pid_t pid : children) EXPECT_EQ(wait_child(pid), "exit 0");

  EXPECT_EQ(cell->counter, std::uint64_t(c.processes) * c.threads * c.rounds);
  EXPECT_EQ(cell->word32, 0u);
  EXPECT_EQ(cell->word64, 0u);
  unmap_array(cell, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, SpinLockContention,
    ::testing::Values(ContentionCase{32, false, 1, 4, 100000}, ContentionCase{64, false, 1, 4, 100000},
                      ContentionCase{32, false, 3, 2, 50000}, ContentionCase{64, false, 3, 2, 50000},
                      // The sleeping wait costs a millisecond per miss: fewer rounds.
                      ContentionCase{32, true, 2, 2, 10000}, ContentionCase{64, true, 2, 2, 10000}),
    [](const auto &info) {
      const ContentionCase &c = info.param;
      return std::to_string(c.width) + (c.sleeping ? "Sleeping" : "Yielding") + std::to_string(c.processes) +
             "Processes" + std::to_string(c.threads) + "Threads";
    });

}  // namespace
}  // namespace fennowick
