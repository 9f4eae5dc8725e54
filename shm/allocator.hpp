// Allocator: a process-local cache of chunk links with payloads attached.
//
// The maps never ask the arena for single chunks. They work with ChunkLinks:
// 16-byte records (the payload of a unit-16 chunk) naming one payload chunk
// and the next link, so that a variable-length list is a chain of links. An
// Allocator caches such links, each with its payload, for one role of one map
// object: entry-record nodes (unit 2: two zeroed 88-byte records per node,
// payload chunks of 176) or string data (the map's data unit).
//
// Invariants: head and count change only under the Allocator's own lock
// (64-bit spin word, yielding wait); the first `count` links from head are the
// cache. The arena is reached only when the cache runs dry (refills of at
// least 100 links in batches of at most 100, pushed in front), when a release
// would take the cache past its cap, and on flush. The cap is 1,048,576 links,
// or about a sixteenth of the arena if that is less: what one process caches
// is out of every other process's reach, and in a small arena shared by a few
// processes the full cap could strand most of it. Lock order:
// Allocator before arena; a bucket lock may be held while taking this one.
//
// Fork: the cache is process-local memory. A child made by fork starts with
// every Allocator empty and unlocked; the cached chunks stay the parent's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "crash_point.hpp"
#include "offset.hpp"
#include "registry.hpp"

namespace fennowick {

class Registry;

struct [[gnu::packed]] ChunkLink {
  std::uint64_t payload;  // Offset of the payload chunk's payload address
  std::uint64_t next;     // Offset of the next link; meaningless on the last
};
static_assert(sizeof(ChunkLink) == 16);
static_assert(offsetof(ChunkLink, payload) == 0);
static_assert(offsetof(ChunkLink, next) == 8);

inline constexpr std::size_t map_entry_size = 88;
inline constexpr std::uint64_t allocator_cache_cap = 1048576;

class Allocator {
public:
  Allocator(std::uint8_t unit, unsigned char *base) noexcept;
  ~Allocator();
  Allocator(const Allocator &) = delete;
  Allocator &operator=(const Allocator &) = delete;

  // First of n chained links; throws std::runtime_error when a refill fails.
  unsigned char *take_data(std::uint64_t n) { return take(n); }
  unsigned char *take_records(std::uint64_t n) { return take(n); }
  // n fresh links from the arena; first returned, last in `tail`.
  unsigned char *refill_data(std::uint64_t n, unsigned char *&tail) { return refill(n, tail); }
  unsigned char *refill_records(std::uint64_t n, unsigned char *&tail) { return refill(n, tail); }
  // Push a chain made by refill in front of the cache.
  void push_front(unsigned char *first, unsigned char *last, std::uint64_t n);
  // Give back n links chained from first. Throws std::runtime_error when the
  // arena refuses a link or payload that goes back to it. `last`, when
  // given, is the chain's n-th link as a checked walk found it (the caller
  // walked the chain anyway): the release then does not walk it again.
  void release(std::uint64_t n, unsigned char *first, unsigned char *last = nullptr);
  // Everything cached back to the arena; terminates on a refused chunk.
  void flush() noexcept;

  std::uint8_t unit() const noexcept { return unit_; }
  std::uint8_t payload_unit() const noexcept { return payload_unit_; }
  unsigned char *base() const noexcept { return base_; }
  std::uint64_t count() const noexcept;
  // Releases beyond this many cached links go back to the arena.
  std::uint64_t cache_cap() const noexcept { return cache_cap_; }
  unsigned char *head() const noexcept { return head_; }

  // Follow a link's next offset.
  unsigned char *next_of(const unsigned char *link) const noexcept {
    return base_ + load<std::uint64_t>(link + 8);
  }
  unsigned char *payload_of(const unsigned char *link) const noexcept {
    return base_ + load<std::uint64_t>(link);
  }

  // Called in the child after fork: forget the inherited cache.
  void forget_after_fork() noexcept;

  // Mirror the cache into a shared word (a registry slot's), one store per
  // change, so that a survivor can give the chunks back if this process
  // ends without closing; `registry` is asked to recover dead processes'
  // slots when the arena runs dry. Null unbinds.
  void bind(std::uint64_t *shared, Registry *registry) noexcept;

private:
  // next_of and payload_of, checked against the arena: a link's offsets may
  // have been overwritten through a damaged file (chunks that its free lists
  // or strings made overlap). Throw std::runtime_error naming the damage.
  unsigned char *follow(const unsigned char *link) const;
  // k links on from `link`, each checked as follow() checks it, without
  // waiting on memory once per link where the links form a run.
  unsigned char *skip(unsigned char *link, std::uint64_t k) const;
  unsigned char *payload_checked(const unsigned char *link) const;

  unsigned char *take(std::uint64_t n);
  // Single store: a survivor reads either the cache before or after a change.
  void publish() noexcept {
    if (shared_ == nullptr) return;
    std::atomic_ref<std::uint64_t>(*shared_).store(
        count_ == 0 || head_ == nullptr ? 0 : pack_cache(offset_of(base_, head_), count_), std::memory_order_release);
    FENNOWICK_CRASH_POINT();
  }
  unsigned char *refill(std::uint64_t n, unsigned char *&tail);
  void give_to_arena(std::uint64_t n, unsigned char *first);

  // Drop what is known of the front run.
  void forget_front() noexcept { front_n_ = 0, front_tail_ = nullptr; }

  alignas(8) std::uint64_t lock_ = 0;
  unsigned char *head_ = nullptr;
  // The front run: the first front_n_ cached links (0: none known) end at
  // front_tail_. A chain given back or refilled whole is pushed in front
  // with its last link known, so that taking it again (a replace takes as
  // many links as the one before gave back) finds the new head with one
  // load instead of a walk of the chain. Under the lock, like head_.
  std::uint64_t front_n_ = 0;
  unsigned char *front_tail_ = nullptr;
  std::uint8_t unit_;
  std::uint8_t payload_unit_;
  std::uint64_t count_ = 0;
  unsigned char *base_;
  std::uint64_t limit_;  // the arena size, fixed at creation
  std::uint64_t cache_cap_;
  std::uint64_t *shared_ = nullptr;
  Registry *registry_ = nullptr;
  // intrusive registry of live allocators, for the fork handler
  Allocator *prev_ = nullptr, *next_ = nullptr;
  friend struct AllocatorRegistry;
};

// Give one chunk back to the arena; throws std::runtime_error when refused.
template <bool Shared> void check_free(Allocator &allocator, void *target);
template <bool Shared> void check_free(Allocator &allocator, const Offset<Shared> &target);

}  // namespace fennowick
