// Helpers shared by the string map's sources; not part of its interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "map/string_map.hpp"
#include "shm/arena.hpp"
#include "shm/offset.hpp"
#include "shm/crash_point.hpp"
#include "shm/spin_lock.hpp"

namespace fennowick {

namespace string_map_detail {

using u64 = std::uint64_t;

template <class T> std::atomic_ref<T> word(T &w) { return std::atomic_ref<T>(w); }

inline const std::runtime_error &empty_chunks_exception() {
  static const std::runtime_error e("operation on empty chunks!");
  return e;
}

// Runs at the start of every operation of a view: re-attach after fork and
// make the view the holder of the locks the arena takes on its behalf.
struct OpScope {
  template <class Map>
  explicit OpScope(Map &m) : context((m.enter(), m.registry_.holder()), m.registry_.present() ? &m.registry_ : nullptr) {}
  LockContextScope context;
};

// For lookups, which take no lock on the arena's behalf: only re-attach.
struct ReadScope {
  template <class Map> explicit ReadScope(Map &m) { m.enter(); }
};

// The view's lane and its operation record, around one bucket critical
// section (recovery.cpp). Taken before the bucket lock. begin() names the
// operation once the bucket is locked and before anything visible changes;
// commit() settles the slot's count and clears the record, before the bucket
// is unlocked. Leaving without commit() (an exception before anything
// visible changed) clears the record with the count as it stands.
struct RecordScope {
  template <class Map> explicit RecordScope(Map &m) : lane(&m.lane_), r(m.record()) {
    spin_lock(*lane, LockWait{});
  }
  RecordScope(const RecordScope &) = delete;
  RecordScope &operator=(const RecordScope &) = delete;
  ~RecordScope() {
    if (r && active) word(r->kind).store(op_none, std::memory_order_release);
    // Process-local, and nothing but this thread's own stores to order.
    std::atomic_ref<std::uint64_t>(*lane).store(0, std::memory_order_release);
  }
  // A survivor reads the record after it has seen this view's lock word and
  // found it dead: the record's fields must reach memory before the kind, and
  // the kind before any change to the bucket (the fence keeps later stores
  // behind it; on x86 it costs nothing).
  void begin(std::uint64_t kind, const unsigned char *base, Bucket *b) noexcept {
    if (r == nullptr) return;
    r->bucket = offset_of(base, b);
    r->count_before = b->entries.count;
    r->delta_before = r->count_delta;
    word(r->kind).store(kind, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_release);
    active = true;
    FENNOWICK_CRASH_POINT();
  }
  // The operation changed the bucket's count by `change`, and is complete.
  void commit(std::int64_t change) noexcept {
    if (r == nullptr) return;
    word(r->count_delta).store(r->delta_before + change, std::memory_order_release);
    FENNOWICK_CRASH_POINT();
    word(r->kind).store(op_none, std::memory_order_release);
    active = false;
    FENNOWICK_CRASH_POINT();
  }
  std::uint64_t *lane;
  OpRecord *r;
  bool active = false;
};

// Unlocks a bucket lock on every way out of a scope.
template <class Map> class BucketLock {
public:
  BucketLock() = default;
  BucketLock(Map &m, Bucket *b) : b_(nullptr) {
    m.lock_bucket(b);
    b_ = b;
  }
  BucketLock(BucketLock &&o) noexcept : b_(o.b_) { o.b_ = nullptr; }
  BucketLock &operator=(BucketLock &&o) noexcept {
    unlock();
    b_ = o.b_;
    o.b_ = nullptr;
    return *this;
  }
  ~BucketLock() { unlock(); }
  void unlock() noexcept {
    if (b_) spin_unlock(b_->lock);
    b_ = nullptr;
  }

private:
  Bucket *b_ = nullptr;
};

// Gives back the locks that lock_bucket_pair took, twin first.
struct PairUnlock {
  Bucket *a, *b;
  ~PairUnlock() {
    if (b) spin_unlock(b->lock);
    spin_unlock(a->lock);
  }
};

inline u64 ceil_div(u64 a, u64 b) { return a / b + (a % b != 0); }

// Every offset the map follows from the file lies inside the arena and past
// the arena header: the map writes through these addresses, and a write into
// the header (bump, unit, free lists) would turn into wrong frees later.
template <class T = unsigned char>
T *in_arena(unsigned char *base, u64 limit, u64 off, u64 len, const char *what) {
  if (off < arena_header_size) throw_damaged(what);
  return at_checked<T>(base, limit, off, len, what);
}

// Calls f(std::integral_constant<u64, U>) for the usual data units, so that
// a whole chunk's payload is copied at a size the compiler knows, without a
// call; f(integral_constant<u64, 0>) for any other unit.
template <class F> [[gnu::always_inline]] inline void with_known_unit(u64 unit, F &&f) {
  switch (unit) {
    case 16: return f(std::integral_constant<u64, 16>{});
    case 32: return f(std::integral_constant<u64, 32>{});
    case 64: return f(std::integral_constant<u64, 64>{});
    case 128: return f(std::integral_constant<u64, 128>{});
    default: return f(std::integral_constant<u64, 0>{});
  }
}

}  // namespace string_map_detail

// A walk that loads each link's next offset before it can load the next link
// waits on memory once per link: about 30 ns each, 2,048 times for a 64 KiB
// value in 32-byte chunks. The links of a string are nearly always a run
// (carved in order, or a run given back whole and taken again), so the walk
// guesses that the next link lies one link chunk further on and uses the
// loaded offset only to confirm the guess: a branch that the processor
// predicts, so that the loads of the links and payloads ahead are under way
// together. A wrong guess costs one mispredicted branch and the walk follows
// the chain as it is; the links visited are exactly the chain's either way.
template <int S>
template <class F>
bool ConcurrentHashMap_string<S>::for_each_link(std::uint64_t first, std::uint64_t n, std::uint64_t unit,
                                                F &&f) const {
  using string_map_detail::u64;
  constexpr u64 step = chunk_size_for(unit_link);
  unsigned char *const base = this->base_;
  // Every link and payload lies past the arena header and ends inside the
  // arena: offsets from arena_header_size to these bounds. One unsigned
  // compare checks both ends (an offset below the header wraps around).
  if (limit_ < arena_header_size + sizeof(ChunkLink) || limit_ < arena_header_size + unit)
    throw_damaged("chunk link out of range");
  const u64 link_span = limit_ - sizeof(ChunkLink) - arena_header_size;
  const u64 payload_span = limit_ - unit - arena_header_size;
  auto link_at = [&](u64 off) {
    if (off - arena_header_size > link_span) [[unlikely]] throw_damaged("chunk link out of range");
    return base + off;
  };
  auto payload_of = [&](const unsigned char *lnk) {
    const u64 off = load<u64>(lnk);
    if (off - arena_header_size > payload_span) [[unlikely]] throw_damaged("chunk payload out of range");
    return base + off;
  };
  // In a run the payloads lie one chunk apart too: fetch ahead of the walk,
  // the first `ahead` at once, then one more with each step (a prefetch of
  // a wrong guess only loads a line). A long chain comes from memory, not
  // from the caches: it is fetched further ahead, so that more lines are
  // under way; a short one would only wait longer for its first burst
  // (bench_map: at 96 ahead a 64 KiB replace takes 18 us instead of 20, a
  // 4 KiB get 450 ns instead of 400; at 192 both 64 KiB operations are
  // slower again).
  const u64 payload_step = chunk_size_for(static_cast<std::uint8_t>(unit));
  const u64 ahead = n >= 1024 ? 96 : 24;
  const u64 link_ahead = ahead * step, payload_ahead = ahead * payload_step;
  u64 at = first;
  unsigned char *lnk = link_at(at);
  unsigned char *data = payload_of(lnk);
  for (u64 j = 1; j < ahead && j < n; ++j) {
    __builtin_prefetch(lnk + j * step);
    __builtin_prefetch(data + j * payload_step);
  }
  for (u64 i = 0;;) {
    if (n - i > ahead) {
      __builtin_prefetch(lnk + link_ahead);
      __builtin_prefetch(data + payload_ahead);
    }
    if (!f(i, lnk, data)) return false;
    if (++i == n) return true;
    const u64 next = load<u64>(lnk + 8);
    u64 guess = at + step;
    if (next == guess) [[likely]] {
      // From here the compiler knows guess == next and could use the loaded
      // value, which would make the next step wait for the load again.
      asm("" : "+r"(guess));
      // guess > at >= arena_header_size: only its end needs a look
      if (guess - arena_header_size > link_span) [[unlikely]] throw_damaged("chunk link out of range");
      at = guess;
      lnk = base + at;
    } else {
      at = next;
      lnk = link_at(at);
    }
    data = payload_of(lnk);
  }
}

}  // namespace fennowick
