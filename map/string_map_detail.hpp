// Helpers shared by the string map's sources; not part of its interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>

#include "map/string_map.hpp"
#include "shm/arena.hpp"
#include "shm/offset.hpp"
#include "shm/spin_lock.hpp"

namespace fennowick {

namespace string_map_detail {

using u64 = std::uint64_t;

template <class T> std::atomic_ref<T> word(T &w) { return std::atomic_ref<T>(w); }

inline const std::runtime_error &empty_chunks_exception() {
  static const std::runtime_error e("operation on empty chunks!");
  return e;
}

// Unlocks a bucket lock on every way out of a scope.
class BucketLock {
public:
  BucketLock() = default;
  explicit BucketLock(Bucket *b) : b_(nullptr) {
    lock_bucket(b);
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

}  // namespace string_map_detail
}  // namespace fennowick
