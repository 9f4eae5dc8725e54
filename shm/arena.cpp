#include "arena.hpp"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "crash_point.hpp"
#include "offset.hpp"
#include "region.hpp"
#include "reserve.hpp"
#include "spin_lock.hpp"

namespace fennowick {

namespace {

// The arena's state changes by single stores under this lock (the bump, a
// list head), so a holder that died left it consistent: its word is only
// released, nothing is recovered.
struct ArenaLock {
  explicit ArenaLock(unsigned char *arena) : word(arena_lock_word(arena)) {
    spin_lock(word, LockWait{lock_context.holder, lock_context.check, false, false});
  }
  ~ArenaLock() { spin_unlock(word); }
  std::uint32_t &word;
};

void out_of_memory() noexcept {
  record_error(err_alloc, "out of memory");
  errno = ENOMEM;
}

void damaged(const char *what) noexcept {
  record_error(err_alloc, what);
  errno = EFAULT;
}

ClassRecord *class_for(ArenaHeader *h, std::uint8_t unit) noexcept {
  if (unit == h->data_unit) return &h->class_data;
  if (unit == unit_link) return &h->class16;
  if (unit == unit_node) return &h->class176;
  return nullptr;
}

// The bump, an aligned word of the packed header: read without the lock only
// as a hint (reserve_ahead, figures), written under it.
std::atomic_ref<std::uint64_t> bump_word(unsigned char *arena) noexcept {
  return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t *>(arena + offsetof(ArenaHeader, bump)));
}

// Take `total - have` fresh chunks from the bump area; link them behind prev.
unsigned char *carve(unsigned char *arena, std::uint64_t total, std::uint64_t have, unsigned char *prev,
                     std::uint8_t unit) {
  ArenaHeader *h = arena_header(arena);
  const std::uint64_t csize = chunk_size_for(unit);
  const std::uint64_t want = total - have;
  std::uint64_t first;
  reserve_ahead(arena, bump_word(arena).load(std::memory_order_relaxed), want * csize);
  {
    ArenaLock lock(arena);
    std::uint64_t size = h->arena_size, bump = h->bump;
    if (want > (size - bump) / csize) {
      out_of_memory();
      return nullptr;
    }
    first = bump;
    if (!reserve_for_bump(arena, bump, bump + want * csize)) {  // the file system is full
      out_of_memory();
      return nullptr;
    }
    // The headers go in before the bump moves past them, so that carved
    // space always parses as chunks, also when the carver dies right after
    // (an offline sweep then finds them unreachable and frees them).
    for (std::uint64_t i = 0; i < want; ++i) {
      unsigned char *c = arena + first + i * csize;
      c[0] = static_cast<std::uint8_t>(csize);
      c[1] = unit;
      store<std::uint64_t>(c + 2, first + (i + 1) * csize);
    }
    bump_word(arena).store(bump + want * csize, std::memory_order_release);
    FENNOWICK_CRASH_POINT();
  }
  if (prev) store<std::uint64_t>(prev + 2, first);
  return arena + first;
}

}  // namespace

void arena_init(unsigned char *arena, std::uint64_t size, std::uint8_t unit) noexcept {
  ArenaHeader *h = arena_header(arena);
  h->arena_size = size + 64;
  h->bump = 64;
  h->data_unit = unit;
  h->unused = ClassRecord{0, 0, 0};
  h->class176 = ClassRecord{178, 176, 0};
  h->class16 = ClassRecord{18, 16, 0};
  h->class_data = ClassRecord{static_cast<std::uint8_t>(unit + 2), unit, 0};
}

const char *arena_check(const unsigned char *arena, std::uint64_t file_size) noexcept {
  ArenaHeader h;
  std::memcpy(&h, arena, sizeof h);
  if (h.class176.size != 178 || h.class176.unit != 176 || h.class16.size != 18 || h.class16.unit != 16)
    return "not a map file: arena header signature missing";
  if (h.class_data.unit != h.data_unit || h.class_data.size != static_cast<std::uint8_t>(h.data_unit + 2))
    return "not a map file: arena data class does not match its unit";
  if (h.data_unit != 0 && (h.data_unit < 8 || chunk_size_for(h.data_unit) < h.data_unit + 2u))
    return "not a map file: arena data unit unusable";
  const std::uint64_t space = file_size - region_header_size;
  if (h.arena_size < arena_header_size || h.arena_size > space)
    return "not a map file: arena size does not fit the file";
  if (h.bump < arena_header_size || h.bump > h.arena_size || h.bump % 8 != 0)
    return "map file is damaged: arena bump offset out of range";
  return nullptr;
}

unsigned char *arena_alloc_chunks(unsigned char *arena, std::uint64_t count, std::uint8_t unit) {
  if (arena == nullptr || unit == 0 || count == 0) return nullptr;
  // A unit whose chunk cannot hold its header and a next link (units 1 to 7,
  // and 247 to 255 whose 8-bit size wraps) has no usable chunks.
  if (unit < 8 || chunk_size_for(unit) < unit + 2u) return nullptr;
  ArenaHeader *h = arena_header(arena);
  const std::uint8_t csize = chunk_size_for(unit);
  ClassRecord *list = class_for(h, unit);
  if (list == nullptr) return carve(arena, count, 0, nullptr, unit);

  unsigned char *first = nullptr, *last = nullptr;
  std::uint64_t k = 0;
  {
    ArenaLock lock(arena);
    std::uint64_t head = list->head;
    if (head == 0) {
      // empty: carve everything below, outside the lock
    } else {
      const std::uint64_t bump = h->bump;
      // Free-list links come from the file: each must name a carved chunk of
      // this unit before it is followed.
      auto valid = [&](std::uint64_t off) {
        return off >= arena_header_size && off < bump && off <= bump - csize && arena[off + 1] == unit &&
               arena[off] == csize;
      };
      if (!valid(head)) {
        damaged("free list damaged");
        return nullptr;
      }
      first = last = arena + head;
      k = 1;
      while (k < count) {
        std::uint64_t next = load<std::uint64_t>(last + 2);
        if (next == 0) break;
        if (!valid(next)) {
          damaged("free list damaged");
          return nullptr;
        }
        last = arena + next;
        ++k;
      }
      if (k == count) {
        list->head = load<std::uint64_t>(last + 2);
        FENNOWICK_CRASH_POINT();
        return first;
      }
      list->head = 0;
      FENNOWICK_CRASH_POINT();
    }
  }
  if (k == 0) return carve(arena, count, 0, nullptr, unit);
  unsigned char *fresh = carve(arena, count, k, last, unit);
  if (fresh == nullptr) {
    // Put the chunks taken from the list back so that they stay usable; the
    // run taken is still linked in order from first to last.
    ArenaLock lock(arena);
    store<std::uint64_t>(last + 2, list->head);
    list->head = offset_of(arena, first);
    return nullptr;
  }
  return first;
}

void *arena_alloc_block(unsigned char *arena, std::uint64_t n) {
  if (arena == nullptr || n == 0 || n > (std::uint64_t{1} << 62)) {
    if (arena && n) out_of_memory();
    return nullptr;
  }
  ArenaHeader *h = arena_header(arena);
  const std::uint64_t size = block_size_for(n);
  reserve_ahead(arena, bump_word(arena).load(std::memory_order_relaxed), size);
  ArenaLock lock(arena);
  std::uint64_t bump = h->bump;
  if (h->arena_size - bump < size || !reserve_for_bump(arena, bump, bump + size)) {
    out_of_memory();
    return nullptr;
  }
  // bump is a multiple of 8 (all chunk and block sizes are): the payload goes
  // 8 bytes in, the 2-byte zero header right before it. The bytes before that
  // header record the block's whole size in 8-byte units (byte 0 stays 0,
  // which no chunk's size byte is), so that an offline sweep can step over
  // blocks as it steps over chunks.
  unsigned char *block = arena + bump;
  block[0] = 0;
  for (int i = 1; i < 6; ++i) block[i] = static_cast<unsigned char>((size >> 3) >> (8 * (i - 1)));
  block[6] = 0;
  block[7] = 0;
  bump_word(arena).store(bump + size, std::memory_order_release);
  FENNOWICK_CRASH_POINT();
  return block + 8;
}

bool arena_free_chunk(unsigned char *arena, void *payload) {
  if (arena == nullptr || payload == nullptr) return false;
  auto *p = static_cast<unsigned char *>(payload);
  ArenaHeader *h = arena_header(arena);
  const std::uint8_t unit = p[-1];
  if (unit == 0) return false;  // block headers read 00 00
  ClassRecord *list = class_for(h, unit);
  if (list == nullptr) return false;
  ArenaLock lock(arena);
  store<std::uint64_t>(p, list->head);
  list->head = offset_of(arena, p - 2);
  FENNOWICK_CRASH_POINT();
  return true;
}

}  // namespace fennowick
