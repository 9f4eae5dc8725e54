// Spin locks on plain words in shared or process memory.
//
// A lock word is a naturally aligned 32- or 64-bit integer. Free is 0. Held
// is, for a 64-bit word, 1 in the upper half and the holder's id in the lower
// half; for a 32-bit word, the holder's id. An id of 0 (64-bit) or the value 1
// (32-bit) is the plain held value: the holder is unknown (a file written by
// another program of the format, or a caller that has no registry), and such a
// word is only waited on. Holder ids come from the registry (registry.hpp) and
// are never 0 or 1.
//
// Taking is a sequentially consistent compare-and-swap from 0, giving back a
// sequentially consistent exchange with 0, so everything written inside a
// critical section is visible to the next holder in this process or in any
// other process that maps the same word.
//
// Waiting: between attempts a waiter either lets other interpreter threads of
// its process run (yielding wait) or sleeps one millisecond (sleeping wait).
// While the interpreter is finalizing it retries at once, since the interpreter
// lock may no longer be usable. Both waits come from the host interface and
// may end the thread (CPython ends daemon threads at exit from inside the
// wait): nothing on a waiting path is noexcept, so that the thread's unwind
// runs every guard on its way out.
//
// A waiter that has waited past `first_check` asks its HolderCheck about
// the holder the word names, and again every `check_interval` after: a dead
// holder's state is recovered and the word released (registry.hpp), so a
// waiter finds a dead holder within about one interval of its death.
//
// Lock order, for every structure of the package: bucket, then Allocator,
// then registry (a refill that finds the arena full recovers dead views),
// then arena. The registry lock is held only for attaching, detaching and
// recovering, which take no bucket or Allocator lock (a dead holder's bucket
// is worked on under the dead holder's word). At most one bucket lock is held at a time, except
// that a lookup may hold a bucket being split and then take its twin (always
// the higher index). The expansion lock is never taken while a bucket lock is
// held.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "host.hpp"

namespace fennowick {

template <class Word> struct lock_values;
template <> struct lock_values<std::uint32_t> {
  static constexpr std::uint32_t held = 1;  // holder unknown
  static constexpr std::uint32_t of(std::uint32_t holder) noexcept { return holder ? holder : held; }
  static constexpr std::uint32_t holder(std::uint32_t v) noexcept { return v == held ? 0 : v; }
  static constexpr bool valid(std::uint32_t) noexcept { return true; }
};
template <> struct lock_values<std::uint64_t> {
  static constexpr std::uint64_t held = 0x100000000ull;  // holder unknown
  static constexpr std::uint64_t of(std::uint32_t holder) noexcept { return held | holder; }
  static constexpr std::uint32_t holder(std::uint64_t v) noexcept { return static_cast<std::uint32_t>(v); }
  // Free, or held with a holder in the lower half.
  static constexpr bool valid(std::uint64_t v) noexcept { return v == 0 || (v >> 32) == 1; }
};

// Asked by a waiter about the holder of a word it has waited on for a while.
class HolderCheck {
public:
  // Returns true when the word no longer holds `seen` because its holder is
  // gone or dead (the holder's state recovered when `recover` is set), so
  // that the waiter should try again at once.
  virtual bool reclaim(void *word, int width, std::uint64_t seen, bool recover) = 0;

protected:
  ~HolderCheck() = default;
};

// The first look at a holder comes soon (a dead one is then found at once);
// later looks are spaced, since each reads /proc.
inline constexpr std::chrono::milliseconds first_check{2};
inline constexpr std::chrono::milliseconds check_interval{20};

// How a waiter behaves: which wait, whom to ask about holders, and whether a
// dead holder's state must be recovered before its word is released (the
// map's words) or the word alone is enough (the arena and registry words,
// whose every change is a single store).
struct LockWait {
  std::uint32_t holder = 0;
  HolderCheck *check = nullptr;
  bool recover = true;
  bool sleeping = false;
};

// The calling thread's defaults for locks taken by code that does not know
// the map (the arena's): set by the map for the duration of an operation.
struct LockContext {
  std::uint32_t holder = 0;
  HolderCheck *check = nullptr;
};
inline thread_local LockContext lock_context;

class LockContextScope {
public:
  LockContextScope(std::uint32_t holder, HolderCheck *check) noexcept : saved_(lock_context) {
    lock_context = LockContext{holder, check};
  }
  ~LockContextScope() { lock_context = saved_; }
  LockContextScope(const LockContextScope &) = delete;
  LockContextScope &operator=(const LockContextScope &) = delete;

private:
  LockContext saved_;
};

template <class Word> inline bool spin_try_lock(Word &word, std::uint32_t holder = 0) noexcept {
  Word expected = 0;
  return std::atomic_ref<Word>(word).compare_exchange_strong(
      expected, lock_values<Word>::of(holder), std::memory_order_seq_cst, std::memory_order_seq_cst);
}

// The waiting part of an acquisition. Returns when the caller holds the lock;
// throws what the holder check throws (a damaged registry), and lets a
// thread's forced unwind pass.
template <class Word> void spin_lock_wait(Word &word, const LockWait &how) {
  using clock = std::chrono::steady_clock;
  auto next_check = clock::now() + first_check;
  unsigned spins = 0;
  for (;;) {
    Word seen = 0;
    if (std::atomic_ref<Word>(word).compare_exchange_strong(seen, lock_values<Word>::of(how.holder),
                                                            std::memory_order_seq_cst, std::memory_order_seq_cst))
      return;
    if (!host::is_finalizing()) {
      if (how.sleeping) host::sleep_wait();
      else host::yield_wait();
    }
    if (how.check == nullptr || (++spins & 3) != 0) continue;
    const auto now = clock::now();
    if (now < next_check) continue;
    next_check = now + check_interval;
    if (lock_values<Word>::holder(seen) == 0) continue;
    how.check->reclaim(&word, static_cast<int>(sizeof(Word)), seen, how.recover);
  }
}

template <class Word> inline void spin_lock(Word &word, const LockWait &how) {
  if (spin_try_lock(word, how.holder)) [[likely]] return;
  spin_lock_wait(word, how);
}

// Acquire, letting other interpreter threads run between attempts; the holder
// is the calling thread's context (anonymous outside a map operation).
template <class Word> inline void spin_lock_yielding(Word &word) {
  spin_lock(word, LockWait{lock_context.holder, lock_context.check, true, false});
}

// Acquire, sleeping one millisecond between attempts (process-local words).
template <class Word> inline void spin_lock_sleeping(Word &word) {
  spin_lock(word, LockWait{0, nullptr, true, true});
}

// Release. Stores the free value whatever the word held.
template <class Word> inline void spin_unlock(Word &word) noexcept {
  std::atomic_ref<Word>(word).exchange(0, std::memory_order_seq_cst);
}

// Scope guard for the common case: taken with the yielding wait.
template <class Word> class SpinGuard {
public:
  explicit SpinGuard(Word &word) : word_(nullptr) {
    spin_lock_yielding(word);
    word_ = &word;
  }
  SpinGuard(Word &word, const LockWait &how) : word_(nullptr) {
    spin_lock(word, how);
    word_ = &word;
  }
  SpinGuard(const SpinGuard &) = delete;
  SpinGuard &operator=(const SpinGuard &) = delete;
  ~SpinGuard() { if (word_) spin_unlock(*word_); }
  void unlock() noexcept { if (word_) { spin_unlock(*word_); word_ = nullptr; } }

private:
  Word *word_;
};

}  // namespace fennowick
