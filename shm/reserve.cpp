// Block reservation and the per-process table from arena base to file.
//
// fallocate with mode 0, not posix_fallocate: where the file system cannot
// reserve, glibc's posix_fallocate falls back to reading each block and
// writing a zero byte where it read one, which would overwrite a byte that
// another process stores in between.
//
// The table is lock-free: it is read under the arena lock, possibly in a
// child forked while another thread of the parent held a mutex here, and it
// must not allocate on that path. Slots live in pages of 64 that are chained
// and never freed; a slot is claimed with a compare-exchange, filled, then
// published by storing its base with release order.
#include "reserve.hpp"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "region.hpp"

namespace fennowick {

namespace {

struct Slot {
  std::atomic<unsigned char *> base{nullptr};
  int fd = -1;
  std::uint64_t file_size = 0;
  std::atomic<std::uint64_t> reserved_to{0};  // arena offset below which this process has reserved every block
};

struct Page {
  Slot slots[64];
  std::atomic<Page *> next{nullptr};
};

Page first_page;

// Marks a slot that a registration has claimed but not yet filled.
unsigned char *const claimed = reinterpret_cast<unsigned char *>(std::uintptr_t{1});

Slot *find(unsigned char *arena) noexcept {
  for (Page *p = &first_page; p != nullptr; p = p->next.load(std::memory_order_acquire))
    for (Slot &s : p->slots)
      if (s.base.load(std::memory_order_acquire) == arena) return &s;
  return nullptr;
}

}  // namespace

bool reserve_file_range(int fd, std::uint64_t from, std::uint64_t to, std::uint64_t file_size) noexcept {
  // Mode 0 would grow a file that is shorter than the range: never past its end.
  if (to > file_size) to = file_size;
  if (from >= to) return true;
  for (;;) {
    if (::fallocate(fd, 0, static_cast<off_t>(from), static_cast<off_t>(to - from)) == 0) return true;
    if (errno == EINTR) continue;
    return errno == EOPNOTSUPP || errno == ENOSYS;
  }
}

namespace {

// Reserves [from, to); every caller knows that all below `from` is reserved
// (below the bump's granule, by the invariant; the rest by this process).
bool reserve_in(Slot *s, std::uint64_t from, std::uint64_t to) noexcept {
  const std::uint64_t file_from = from == 0 ? 0 : from + region_header_size;
  if (!reserve_file_range(s->fd, file_from, to + region_header_size, s->file_size)) return false;
  std::uint64_t have = s->reserved_to.load(std::memory_order_relaxed);
  while (to > have && !s->reserved_to.compare_exchange_weak(have, to, std::memory_order_relaxed)) {
  }
  return true;
}

}  // namespace

bool reserve_arena_range(unsigned char *arena, std::uint64_t from, std::uint64_t to) noexcept {
  if (from >= to) return true;
  Slot *s = find(arena);
  if (s == nullptr) return true;
  // What this process has reserved before needs no second call.
  const std::uint64_t have = s->reserved_to.load(std::memory_order_relaxed);
  if (to <= have) return true;
  return reserve_in(s, from > have ? from : have, to);
}

void reserve_ahead(unsigned char *arena, std::uint64_t bump, std::uint64_t size) noexcept {
  Slot *s = find(arena);
  if (s == nullptr) return;
  const std::uint64_t to = round_up_granule(bump + size) + reserve_lookahead;
  const std::uint64_t have = s->reserved_to.load(std::memory_order_relaxed);
  if (to <= have) return;
  const std::uint64_t from = round_up_granule(bump) > have ? round_up_granule(bump) : have;
  reserve_in(s, from, to);  // a failure shows again under the lock, where it counts
}

bool register_reserve_file(unsigned char *arena, int fd, std::uint64_t file_size) noexcept {
  for (Page *p = &first_page;;) {
    for (Slot &s : p->slots) {
      unsigned char *expected = nullptr;
      if (s.base.load(std::memory_order_relaxed) != nullptr ||
          !s.base.compare_exchange_strong(expected, claimed, std::memory_order_acquire))
        continue;
      s.fd = fd;
      s.file_size = file_size;
      s.reserved_to.store(0, std::memory_order_relaxed);
      s.base.store(arena, std::memory_order_release);
      return true;
    }
    Page *next = p->next.load(std::memory_order_acquire);
    if (next == nullptr) {
      Page *fresh = new (std::nothrow) Page;
      if (fresh == nullptr) {
        errno = ENOMEM;
        return false;
      }
      if (p->next.compare_exchange_strong(next, fresh, std::memory_order_acq_rel)) {
        next = fresh;
      } else {
        delete fresh;  // another registration chained one first; next is that page
      }
    }
    p = next;
  }
}

void unregister_reserve_file(unsigned char *arena) noexcept {
  if (Slot *s = find(arena)) s->base.store(nullptr, std::memory_order_release);
}

}  // namespace fennowick
