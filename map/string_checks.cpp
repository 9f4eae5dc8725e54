// What the string map follows from the file: every link and payload offset
// is bounds-checked, chunks written through or given back must not lie over
// the map's own structures, and counts and chains are checked before a walk
// or a release.
#include "map/string_map.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <new>

#include "shm/arena.hpp"
#include "shm/host.hpp"

#include "map/string_map_detail.hpp"

namespace fennowick {

using namespace string_map_detail;

// ---- the map's own structures ------------------------------------------------------

template <int S> void ConcurrentHashMap_string<S>::setup_guard() {
  // Granules as fine as about a million of them allow (at most 128 KiB of
  // bits for any arena, and never under 64 bytes): only the granules at a
  // structure's two ends are shared with other chunks and need the exact
  // check, and the finer they are, the fewer chunks land in them (the nodes
  // a leader takes for a new bucket chunk are carved right behind it).
  const u64 chunk_bytes = this->buckets_per_chunk_ * sizeof(Bucket);
  guard_shift_ = 6;
  const auto width = static_cast<unsigned>(std::bit_width(limit_));
  if (width > guard_shift_ + 20) guard_shift_ = width - 20;
  const u64 words = ((limit_ >> guard_shift_) + 64) / 64;
  guard_bits_ = static_cast<u64 *>(host::mem_alloc(words * 8));
  if (guard_bits_ == nullptr) throw std::bad_alloc();
  std::memset(guard_bits_, 0, words * 8);
  guard(map_header_offset - 2, sizeof(MapHeader) + 2);
  guard(this->table_offset_, this->bucket_chunk_number_ * 8);
  for (u64 off : {this->in_use_offset_, this->participants_offset_, this->lock_offset_, this->cursor_offset_,
                  this->entry_count_offset_})
    guard(off, 8);
  for (u64 i = 0; i < this->bucket_chunk_number_; ++i)
    if (bucket_chunk_cache_[i]) guard(offset_of(this->base_, bucket_chunk_cache_[i]), chunk_bytes);
}

template <int S> void ConcurrentHashMap_string<S>::guard(u64 off, u64 len) noexcept {
  if (guard_bits_ == nullptr || len == 0 || off > limit_ || len > limit_ - off) return;
  for (u64 g = off >> guard_shift_, last = (off + len - 1) >> guard_shift_; g <= last; ++g)
    std::atomic_ref<u64>(guard_bits_[g / 64]).fetch_or(u64{1} << (g % 64), std::memory_order_relaxed);
}

template <int S> bool ConcurrentHashMap_string<S>::over_structure(u64 off, u64 len) const noexcept {
  // off and len are inside the arena (checked by the caller), len > 0.
  if (guard_bits_ == nullptr) return false;  // while the map is being built
  bool marked = false;
  for (u64 g = off >> guard_shift_, last = (off + len - 1) >> guard_shift_; g <= last && !marked; ++g)
    marked = (std::atomic_ref<u64>(guard_bits_[g / 64]).load(std::memory_order_relaxed) >> (g % 64)) & 1;
  if (!marked) [[likely]]
    return false;
  auto meets = [&](u64 start, u64 size) { return off < start + size && start < off + len; };
  if (meets(map_header_offset - 2, sizeof(MapHeader) + 2) || meets(this->table_offset_, this->bucket_chunk_number_ * 8))
    return true;
  for (u64 w : {this->in_use_offset_, this->participants_offset_, this->lock_offset_, this->cursor_offset_,
                this->entry_count_offset_})
    if (meets(w, 8)) return true;
  const u64 chunk_bytes = this->buckets_per_chunk_ * sizeof(Bucket);
  // Slots past twice the chunks in use are never filled.
  const u64 n = word(*this->bucket_chunks_in_use_).load(std::memory_order_relaxed);
  const u64 slots = n < this->bucket_chunk_number_ / 2 ? 2 * n : this->bucket_chunk_number_;
  for (u64 i = 0; i < slots; ++i) {
    unsigned char *c = std::atomic_ref<unsigned char *>(bucket_chunk_cache_[i]).load(std::memory_order_relaxed);
    if (c && meets(offset_of(this->base_, c), chunk_bytes)) return true;
  }
  return false;
}

template <int S> u64 ConcurrentHashMap_string<S>::max_links(u64 payload_unit) const noexcept {
  return limit_ / (chunk_size_for(unit_link) + chunk_size_for(static_cast<std::uint8_t>(payload_unit)));
}

// Counts of a bucket bound every walk of its list: a count the arena could
// not hold is damage, not a reason to walk (possibly around a cycle) for ever.
template <int S> void ConcurrentHashMap_string<S>::check_bucket(const Bucket *bucket) const {
  const ChunkList &l = bucket->entries;
  if (l.links == 0 || l.links > node_links_max_ || l.count > 2 * l.links)
    throw_damaged("bucket counts impossible");
}

// An Allocator follows a link's next offset and frees its chunks without
// looking: a chain read from the file is checked here first, so that nothing
// outside the arena, and no chunk its arena class would refuse, ever reaches
// a cache or a free list.
template <int S>
unsigned char *ConcurrentHashMap_string<S>::check_chain(const unsigned char *first, u64 n, u64 payload_unit) const {
  if (n > max_links(payload_unit)) throw_damaged("chain longer than the arena can hold");
  if (n == 0) return nullptr;
  const auto unit = static_cast<std::uint8_t>(payload_unit);
  // A chunk's 2-byte header (size, unit) read as one little-endian word.
  auto header = [](std::uint8_t u) { return static_cast<std::uint16_t>(chunk_size_for(u) | u << 8); };
  const std::uint16_t link_header = header(unit_link), payload_header = header(unit);
  // Links and payloads come in runs, one chunk right behind the other: the
  // guard bits are looked at once for each run's whole extent, when it ends.
  struct Run {
    u64 start = 0, last = 0;
  } links, payloads;
  const u64 link_step = chunk_size_for(unit_link), payload_step = chunk_size_for(unit);
  unsigned char *last = nullptr;
  auto extend = [&](Run &r, u64 off, u64 step, u64 len) {
    if (r.start != 0 && off == r.last + step) {
      r.last = off;
      return;
    }
    if (r.start != 0) writable(this->base_ + r.start, r.last + len - r.start);
    r.start = r.last = off;
  };
  for_each_link(offset_of(this->base_, first), n, payload_unit, [&](u64, unsigned char *lnk, unsigned char *data) {
    // A chunk starts at the arena header's end or later: its payload at 66.
    const u64 lo = offset_of(this->base_, lnk), po = offset_of(this->base_, data);
    if (lo < arena_header_size + 2 || po < arena_header_size + 2 || load<std::uint16_t>(lnk - 2) != link_header ||
        load<std::uint16_t>(data - 2) != payload_header)
      throw_damaged("chain names a chunk of another unit");
    extend(links, lo, link_step, sizeof(ChunkLink));
    extend(payloads, po, payload_step, payload_unit);
    last = lnk;
    return true;
  });
  writable(this->base_ + links.start, links.last + sizeof(ChunkLink) - links.start);
  writable(this->base_ + payloads.start, payloads.last + payload_unit - payloads.start);
  return last;
}

template void ConcurrentHashMap_string<1>::setup_guard();
template void ConcurrentHashMap_string<1>::guard(u64, u64) noexcept;
template bool ConcurrentHashMap_string<1>::over_structure(u64, u64) const noexcept;
template u64 ConcurrentHashMap_string<1>::max_links(u64) const noexcept;
template void ConcurrentHashMap_string<1>::check_bucket(const Bucket *) const;
template unsigned char *ConcurrentHashMap_string<1>::check_chain(const unsigned char *, u64, u64) const;

}  // namespace fennowick
