#include "allocator.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>

#include "arena.hpp"
#include "crash_point.hpp"
#include "registry.hpp"
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
      base_(base),
      limit_(load<std::uint64_t>(base + offsetof(ArenaHeader, arena_size))) {
  const std::uint64_t per_link = chunk_size_for(unit_link) + chunk_size_for(payload_unit_);
  cache_cap_ = std::clamp<std::uint64_t>(limit_ / 16 / per_link, 200, allocator_cache_cap);
  AllocatorRegistry::add(this);
}

Allocator::~Allocator() { AllocatorRegistry::remove(this); }

std::uint64_t Allocator::count() const noexcept {
  return std::atomic_ref<const std::uint64_t>(count_).load(std::memory_order_relaxed);
}

unsigned char *Allocator::follow(const unsigned char *link) const {
  const std::uint64_t off = load<std::uint64_t>(link + 8);
  if (off < arena_header_size + 2 || off > limit_ || limit_ - off < sizeof(ChunkLink))
    throw_damaged("cached link out of range");
  return base_ + off;
}

unsigned char *Allocator::payload_checked(const unsigned char *link) const {
  const std::uint64_t off = load<std::uint64_t>(link);
  if (off < arena_header_size + 2 || off > limit_ || limit_ - off < payload_unit_)
    throw_damaged("cached payload out of range");
  return base_ + off;
}

// Links carved together, or given back as one string's chain, lie one right
// behind the other. The walk guesses that the next link is the one behind and
// uses the loaded offset only to confirm it: a predicted branch instead of a
// load that the next step must wait for, so a long walk keeps many loads
// under way. Where the guess is wrong the chain is followed as it is.
unsigned char *Allocator::skip(unsigned char *link, std::uint64_t k) const {
  constexpr std::uint64_t step = chunk_size_for(unit_link);
  std::uint64_t at = offset_of(base_, link);
  for (; k > 0; --k) {
    const std::uint64_t next = load<std::uint64_t>(link + 8);
    std::uint64_t guess = at + step;
    if (next == guess) [[likely]] {
      asm("" : "+r"(guess));  // keep the guess: the compiler may not swap in the loaded value
      at = guess;
    } else {
      at = next;
    }
    if (at < arena_header_size + 2 || at > limit_ || limit_ - at < sizeof(ChunkLink))
      throw_damaged("cached link out of range");
    link = base_ + at;
  }
  return link;
}

void Allocator::forget_after_fork() noexcept {
  lock_ = 0;
  head_ = nullptr;
  count_ = 0;
  forget_front();
  shared_ = nullptr;  // the parent's slot, not ours
  registry_ = nullptr;
}

void Allocator::bind(std::uint64_t *shared, Registry *registry) noexcept {
  Lock lock(lock_);
  shared_ = shared;
  registry_ = registry;
  publish();
}


unsigned char *Allocator::refill(std::uint64_t n, unsigned char *&tail) {
  unsigned char *first = nullptr, *prev_last = nullptr;
  const bool nodes = unit_ == 2;
  std::uint64_t made = 0;
  // A refill that fails leaves nothing taken: what it carved goes back.
  auto fail = [&](int error, unsigned char *run, std::uint64_t m) {
    if (run) {
      unsigned char *at[100];
      at[0] = run;
      for (std::uint64_t i = 1; i < m; ++i) at[i] = base_ + load<std::uint64_t>(at[i - 1] + 2);
      for (std::uint64_t i = 0; i < m; ++i) arena_free_chunk(base_, at[i] + 2);
    }
    if (made) {
      try {
        give_to_arena(made, first);
      } catch (const std::runtime_error &) {
        // only a damaged file refuses its own fresh chunks: they stay out
      }
    }
    throw std::runtime_error(std::strerror(error));
  };
  while (made < n) {
    const std::uint64_t m = n - made < 100 ? n - made : 100;
    unsigned char *links = arena_alloc_chunks(base_, m, unit_link);
    if (links == nullptr) fail(errno, nullptr, 0);
    unsigned char *payloads = arena_alloc_chunks(base_, m, payload_unit_);
    if (payloads == nullptr) fail(errno, links, m);
    // Both runs are walked before anything is written: chunks taken from a
    // damaged file's free lists may overlap, and a write into one must not
    // redirect the walk of the other out of the arena.
    unsigned char *link_at[100], *payload_at[100];
    link_at[0] = links;
    payload_at[0] = payloads;
    for (std::uint64_t i = 1; i < m; ++i) {
      link_at[i] = base_ + load<std::uint64_t>(link_at[i - 1] + 2);
      payload_at[i] = base_ + load<std::uint64_t>(payload_at[i - 1] + 2);
    }
    unsigned char *last = nullptr;
    for (std::uint64_t i = 0; i < m; ++i) {
      unsigned char *lp = link_at[i] + 2;
      std::memset(lp, 0, sizeof(ChunkLink));
      store<std::uint64_t>(lp, offset_of(base_, payload_at[i] + 2));
      if (i + 1 < m) store<std::uint64_t>(lp + 8, offset_of(base_, link_at[i + 1] + 2));
      if (nodes) std::memset(payload_at[i] + 2, 0, unit_ * map_entry_size);
      last = lp;
    }
    if (prev_last) store<std::uint64_t>(prev_last + 8, offset_of(base_, links + 2));
    else first = links + 2;
    prev_last = last;
    made += m;
  }
  tail = prev_last;
  return first;
}

void Allocator::push_front(unsigned char *first, unsigned char *last, std::uint64_t n) {
  Lock lock(lock_);
  if (head_ && count_ > 0) store<std::uint64_t>(last + 8, offset_of(base_, head_));
  head_ = first;
  front_n_ = n, front_tail_ = last;
  std::atomic_ref<std::uint64_t>(count_).store(count_ + n, std::memory_order_relaxed);
  publish();
}

unsigned char *Allocator::take(std::uint64_t n) {
  Lock lock(lock_);
  std::uint64_t c = count_;
  if (c < n) {
    std::uint64_t k = n - c >= 101 ? n - c : 100;
    unsigned char *tail = nullptr;
    unsigned char *fresh;
    // A refill throws with the cache and the arena untouched. When it fails,
    // processes that ended without closing may hold what is missing in their
    // caches (recovered once), and a nearly full arena may still hold the
    // bare shortfall.
    for (bool reclaimed = false;;) {
      try {
        fresh = refill(k, tail);
        break;
      } catch (const std::runtime_error &) {
        if (!reclaimed && registry_ && registry_->reclaim_dead() > 0) {
          reclaimed = true;
          continue;
        }
        if (k == n - c) throw;
        k = n - c;
        reclaimed = true;
      }
    }
    if (head_ && c > 0) store<std::uint64_t>(tail + 8, offset_of(base_, head_));
    head_ = fresh;
    front_n_ = k, front_tail_ = tail;
    c += k;
    std::atomic_ref<std::uint64_t>(count_).store(c, std::memory_order_relaxed);
  }
  unsigned char *result = head_;
  if (c == n) {
    head_ = nullptr;
    forget_front();
  } else if (front_n_ == 0 || n < front_n_) {
    head_ = skip(head_, n);  // throws with the cache as it was
    if (front_n_ != 0) front_n_ -= n;
  } else {
    // The links up to the front run's end need no walk here; the caller's
    // walk over the chain it took checks each of them.
    unsigned char *after = follow(front_tail_);
    head_ = n == front_n_ ? after : skip(after, n - front_n_);
    forget_front();
  }
  std::atomic_ref<std::uint64_t>(count_).store(c - n, std::memory_order_relaxed);
  publish();
  return result;
}

void Allocator::give_to_arena(std::uint64_t n, unsigned char *link) {
  for (std::uint64_t i = 0; i < n; ++i) {
    unsigned char *next = i + 1 < n ? follow(link) : nullptr;
    check_free<true>(*this, payload_checked(link));
    check_free<true>(*this, static_cast<void *>(link));
    link = next;
  }
}

void Allocator::release(std::uint64_t n, unsigned char *first, unsigned char *last) {
  if (n == 0) return;
  const std::uint64_t c = count();
  const std::uint64_t room = c >= cache_cap_ ? 0 : cache_cap_ - c;
  if (room == 0) {
    give_to_arena(n, first);
    return;
  }
  const std::uint64_t keep = room >= n ? n : room;
  if (last == nullptr || keep < n) last = skip(first, keep - 1);
  unsigned char *rest = keep < n ? follow(last) : nullptr;
  {
    Lock lock(lock_);
    if (head_ && count_ > 0) store<std::uint64_t>(last + 8, offset_of(base_, head_));
    head_ = first;
    front_n_ = keep, front_tail_ = last;
    std::atomic_ref<std::uint64_t>(count_).store(count_ + keep, std::memory_order_relaxed);
    publish();
  }
  if (keep < n) give_to_arena(n - keep, rest);
}

void Allocator::flush() noexcept {
  Lock lock(lock_);
  unsigned char *link = head_;
  const std::uint64_t n = count_;
  forget_front();
  // The shared mirror goes first: a process killed half-way leaves the rest
  // unlisted (an offline repair finds it), never listed twice.
  std::atomic_ref<std::uint64_t>(count_).store(0, std::memory_order_relaxed);
  publish();
  try {
    for (std::uint64_t i = 0; i < n; ++i) {
      unsigned char *next = i + 1 < n ? follow(link) : nullptr;
      payload_checked(link);
      check_free<true>(*this, Offset<true>(load<std::uint64_t>(link)));
      check_free<true>(*this, static_cast<void *>(link));
      link = next;
    }
  } catch (...) {
    std::terminate();
  }
}

}  // namespace fennowick
