// Spin locks on plain words in shared or process memory.
//
// A lock word is a naturally aligned 32- or 64-bit integer: free is 0, held is
// 1 (32-bit) or 0x100000000 (64-bit). There is no owner, no count and no queue;
// whichever compare-and-swap wins takes the lock. Taking is a sequentially
// consistent compare-and-swap, giving back a sequentially consistent exchange,
// so everything written inside a critical section is visible to the next holder
// in this process or in any other process that maps the same word.
//
// Waiting: between attempts a waiter either lets other interpreter threads of
// its process run (yielding wait) or sleeps one millisecond (sleeping wait).
// While the interpreter is finalizing it retries at once, since the interpreter
// lock may no longer be usable. Both waits come from the host interface.
//
// Lock order, for every structure of the package: bucket, then Allocator, then
// arena. At most one bucket lock is held at a time, except that a lookup may
// hold a bucket being split and then take its twin (always the higher index).
// The expansion lock is never taken while a bucket lock is held.
#pragma once

#include <atomic>
#include <cstdint>

#include "host.hpp"

namespace fennowick {

template <class Word> struct lock_values;
template <> struct lock_values<std::uint32_t> {
  static constexpr std::uint32_t held = 1;
};
template <> struct lock_values<std::uint64_t> {
  static constexpr std::uint64_t held = 0x100000000ull;
};

template <class Word> inline bool spin_try_lock(Word &word) noexcept {
  Word expected = 0;
  return std::atomic_ref<Word>(word).compare_exchange_strong(
      expected, lock_values<Word>::held, std::memory_order_seq_cst,
      std::memory_order_seq_cst);
}

// Acquire, letting other interpreter threads run between attempts.
template <class Word> inline void spin_lock_yielding(Word &word) noexcept {
  while (!spin_try_lock(word)) {
    if (!host::is_finalizing()) host::yield_wait();
  }
}

// Acquire, sleeping one millisecond between attempts.
template <class Word> inline void spin_lock_sleeping(Word &word) noexcept {
  while (!spin_try_lock(word)) {
    if (!host::is_finalizing()) host::sleep_wait();
  }
}

// Release. Stores the free value whatever the word held.
template <class Word> inline void spin_unlock(Word &word) noexcept {
  std::atomic_ref<Word>(word).exchange(0, std::memory_order_seq_cst);
}

// Scope guard for the common case: taken with the yielding wait.
template <class Word> class SpinGuard {
public:
  explicit SpinGuard(Word &word) noexcept : word_(&word) { spin_lock_yielding(word); }
  SpinGuard(const SpinGuard &) = delete;
  SpinGuard &operator=(const SpinGuard &) = delete;
  ~SpinGuard() { if (word_) spin_unlock(*word_); }
  void unlock() noexcept { if (word_) { spin_unlock(*word_); word_ = nullptr; } }

private:
  Word *word_;
};

}  // namespace fennowick
