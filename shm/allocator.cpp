#include "allocator.hpp"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>

#include "arena.hpp"
#include "spin_lock.hpp"

namespace fennowick {

template <> void check_free<true>(Allocator &allocator, void *target) {
  if (!arena_free_chunk(allocator.base(), target))
    throw std::runtime_error("check_free<true>(Allocator allocator, void * target) failed!");
}

template <> void check_free<true>(Allocator &allocator, const Offset<true> &target) {
  if (!arena_free_chunk(allocator.base(), allocator.base() + target.value))
    throw std::runtime_error("check_free<true>(Allocator allocator, const Offset<true> &target) failed!");
}

// Every live Allocator, so that a forked child can empty them all. The
// prepare handler holds the registry mutex across fork, so the list is
// consistent in the child.
struct AllocatorRegistry {
  static std::mutex &mutex() {
    static std::mutex m;
    return m;
  }
  static Allocator *&head() {
    static Allocator *h = nullptr;
    return h;
  }
  static void install() {
    static std::once_flag once;
    std::call_once(once, [] {
      pthread_atfork([] { mutex().lock(); }, [] { mutex().unlock(); },
                     [] {
                       for (Allocator *a = head(); a; a = a->next_) a->forget_after_fork();
                       mutex().unlock();
                     });
    });
  }
  static void add(Allocator *a) {
    install();
    std::lock_guard<std::mutex> g(mutex());
    a->next_ = head();
    if (head()) head()->prev_ = a;
    head() = a;
  }
  static void remove(Allocator *a) {
    std::lock_guard<std::mutex> g(mutex());
    if (a->prev_) a->prev_->next_ = a->next_;
    else head() = a->next_;
    if (a->next_) a->next_->prev_ = a->prev_;
  }
};

namespace {

using Lock = SpinGuard<std::uint64_t>;


}  // namespace

Allocator::Allocator(std::uint8_t unit, unsigned char *base) noexcept
    : unit_(unit),
      payload_unit_(unit == 2 ? static_cast<std::uint8_t>(unit * map_entry_size % 256) : unit),
      base_(base) {
  AllocatorRegistry::add(this);
}

Allocator::~Allocator() { AllocatorRegistry::remove(this); }

std::uint64_t Allocator::count() const noexcept {
  return std::atomic_ref<const std::uint64_t>(count_).load(std::memory_order_relaxed);
}

void Allocator::forget_after_fork() noexcept {
  lock_ = 0;
  head_ = nullptr;
  count_ = 0;
}

unsigned char *Allocator::refill(std::uint64_t n, unsigned char *&tail) {
  unsigned char *first = nullptr, *prev_last = nullptr;
  const bool nodes = unit_ == 2;
  std::uint64_t made = 0;
  while (made < n) {
    const std::uint64_t m = n - made < 100 ? n - made : 100;
    unsigned char *links = arena_alloc_chunks(base_, m, unit_link);
    if (links == nullptr) throw std::runtime_error(std::strerror(errno));
    unsigned char *payloads = arena_alloc_chunks(base_, m, payload_unit_);
    if (payloads == nullptr) throw std::runtime_error(std::strerror(errno));
    unsigned char *link = links, *payload = payloads, *last = nullptr;
    for (std::uint64_t i = 0; i < m; ++i) {
      const std::uint64_t next_link = load<std::uint64_t>(link + 2);
      const std::uint64_t next_payload = load<std::uint64_t>(payload + 2);
      unsigned char *lp = link + 2;
      std::memset(lp, 0, sizeof(ChunkLink));
      store<std::uint64_t>(lp, offset_of(base_, payload + 2));
      store<std::uint64_t>(lp + 8, next_link + 2);
      if (nodes) std::memset(payload + 2, 0, unit_ * map_entry_size);
      last = lp;
      link = base_ + next_link;
      payload = base_ + next_payload;
    }
    if (prev_last) store<std::uint64_t>(prev_last + 8, offset_of(base_, links + 2));
    else first = links + 2;
    prev_last = last;
    made += m;
  }
  tail = prev_last;
  return first;
}

void Allocator::push_front(unsigned char *first, unsigned char *last, std::uint64_t n) noexcept {
  Lock lock(lock_);
  if (head_ && count_ > 0) store<std::uint64_t>(last + 8, offset_of(base_, head_));
  head_ = first;
  std::atomic_ref<std::uint64_t>(count_).store(count_ + n, std::memory_order_relaxed);
}

unsigned char *Allocator::take(std::uint64_t n) {
  Lock lock(lock_);
  std::uint64_t c = count_;
  if (c < n) {
    const std::uint64_t k = n - c >= 101 ? n - c : 100;
    unsigned char *tail = nullptr;
    unsigned char *fresh = refill(k, tail);  // throws with the cache untouched
    if (head_ && c > 0) store<std::uint64_t>(tail + 8, offset_of(base_, head_));
    head_ = fresh;
    c += k;
  }
  unsigned char *result = head_;
  if (c == n) {
    head_ = nullptr;
  } else {
    unsigned char *p = head_;
    for (std::uint64_t i = 0; i < n; ++i) p = next_of(p);
    head_ = p;
  }
  std::atomic_ref<std::uint64_t>(count_).store(c - n, std::memory_order_relaxed);
  return result;
}

void Allocator::give_to_arena(std::uint64_t n, unsigned char *link) {
  for (std::uint64_t i = 0; i < n; ++i) {
    unsigned char *next = next_of(link);
    check_free<true>(*this, payload_of(link));
    check_free<true>(*this, static_cast<void *>(link));
    link = next;
  }
}

void Allocator::release(std::uint64_t n, unsigned char *first) {
  if (n == 0) return;
  const std::uint64_t c = count();
  const std::uint64_t room = c >= allocator_cache_cap ? 0 : allocator_cache_cap - c;
  if (room == 0) {
    give_to_arena(n, first);
    return;
  }
  const std::uint64_t keep = room >= n ? n : room;
  unsigned char *last = first;
  for (std::uint64_t i = 1; i < keep; ++i) last = next_of(last);
  unsigned char *rest = nullptr;
  {
    Lock lock(lock_);
    if (keep < n) rest = next_of(last);
    if (head_ && count_ > 0) store<std::uint64_t>(last + 8, offset_of(base_, head_));
    head_ = first;
    std::atomic_ref<std::uint64_t>(count_).store(count_ + keep, std::memory_order_relaxed);
  }
  if (keep < n) give_to_arena(n - keep, rest);
}

void Allocator::flush() noexcept {
  Lock lock(lock_);
  try {
    unsigned char *link = head_;
    for (std::uint64_t i = 0; i < count_; ++i) {
      unsigned char *next = next_of(link);
      check_free<true>(*this, Offset<true>(load<std::uint64_t>(link)));
      check_free<true>(*this, static_cast<void *>(link));
      link = next;
    }
  } catch (...) {
    std::terminate();
  }
  std::atomic_ref<std::uint64_t>(count_).store(0, std::memory_order_relaxed);
}

}  // namespace fennowick
