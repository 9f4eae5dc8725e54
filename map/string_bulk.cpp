// Operations over many entries: the bucket walk behind iteration and clear,
// the map's shape, and the cache hints that batched operations give.
#include "map/string_map.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shm/arena.hpp"

#include "map/string_map_detail.hpp"

namespace fennowick {

using namespace string_map_detail;

namespace {

// A word read for a cache hint while others may be writing it: it is only
// ever used, bounds-checked, as an address to prefetch, so a torn or stale
// value is harmless. Not instrumented by ThreadSanitizer for that reason.
[[gnu::no_sanitize("thread")]] inline u64 peek(const unsigned char *p) noexcept {
  u64 v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

inline void warm(const unsigned char *p, std::size_t len, bool write = false) noexcept {
  const auto first = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{63};
  const auto last = (reinterpret_cast<std::uintptr_t>(p) + len - 1) & ~std::uintptr_t{63};
  for (std::uintptr_t line = first; line <= last; line += 64) {
    if (write) {
      __builtin_prefetch(reinterpret_cast<const void *>(line), 1);
    } else {
      __builtin_prefetch(reinterpret_cast<const void *>(line), 0);
    }
  }
}

}  // namespace

template <int S> void ConcurrentHashMap_string<S>::prefetch(const long long *hashes, std::size_t count) const noexcept {
  if (this->base_ == nullptr || bucket_chunk_cache_ == nullptr) return;
  if (count > prefetch_batch) count = prefetch_batch;
  const u64 n = word(*this->bucket_chunks_in_use_).load(std::memory_order_relaxed);
  if (n == 0 || n > this->bucket_chunk_number_) return;
  const u64 s = this->buckets_per_chunk_, mask = s * n - 1;
  unsigned char *const base = this->base_;
  const u64 limit = limit_;
  // The address of `len` bytes at offset `off` when they lie in the arena.
  auto at = [&](u64 off, u64 len) -> const unsigned char * {
    return off >= sizeof(ArenaHeader) && off <= limit && len <= limit - off ? base + off : nullptr;
  };
  // Each round reads what the previous one fetched and fetches the next
  // step for every hash, so the misses of one round overlap.
  const unsigned char *p[prefetch_batch][2] = {};
  for (std::size_t i = 0; i < count; ++i) {
    const u64 k = static_cast<u64>(hashes[i]) & mask;
    unsigned char *c = std::atomic_ref<unsigned char *>(bucket_chunk_cache_[k / s]).load(std::memory_order_relaxed);
    if (c == nullptr) continue;
    p[i][0] = c + (k % s) * sizeof(Bucket);
    warm(p[i][0], sizeof(Bucket), true);  // its lock word is written next
  }
  for (std::size_t i = 0; i < count; ++i) {  // bucket -> first node link
    if (p[i][0] == nullptr) continue;
    p[i][0] = peek(p[i][0] + offsetof(Bucket, entries) + offsetof(ChunkList, count)) == 0
                  ? nullptr
                  : at(peek(p[i][0] + offsetof(Bucket, entries)), sizeof(ChunkLink));
    if (p[i][0]) warm(p[i][0], sizeof(ChunkLink));
  }
  for (std::size_t i = 0; i < count; ++i) {  // link -> the node's two entries
    if (p[i][0] == nullptr) continue;
    p[i][0] = at(peek(p[i][0]), 2 * sizeof(MapEntry));
    if (p[i][0]) warm(p[i][0], 2 * sizeof(MapEntry));
  }
  for (std::size_t i = 0; i < count; ++i) {  // first entry -> its key's and value's first links
    const unsigned char *e = p[i][0];
    if (e == nullptr) continue;
    p[i][0] = at(peek(e + offsetof(MapEntry, key)), sizeof(ChunkLink));
    p[i][1] = at(peek(e + offsetof(MapEntry, value)), sizeof(ChunkLink));
    for (const unsigned char *q : p[i])
      if (q) warm(q, sizeof(ChunkLink));
  }
  const u64 unit = data_chunk_unit_;
  for (std::size_t i = 0; i < count; ++i) {  // links -> the key's first payload, the value's first two
    const unsigned char *key_link = p[i][0], *value_link = p[i][1];
    if (key_link) {
      if (const unsigned char *q = at(peek(key_link), unit)) warm(q, unit);
    }
    p[i][1] = nullptr;
    if (value_link) {
      if (const unsigned char *q = at(peek(value_link), unit)) warm(q, unit);
      p[i][1] = at(peek(value_link + 8), sizeof(ChunkLink));
      if (p[i][1]) warm(p[i][1], sizeof(ChunkLink));
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (p[i][1] == nullptr) continue;
    if (const unsigned char *q = at(peek(p[i][1]), unit)) warm(q, unit);
  }
}

namespace {

u64 reverse_bits(u64 v) noexcept {
  u64 r = 0;
  for (int i = 0; i < 64; ++i, v >>= 1) r = (r << 1) | (v & 1);
  return r;
}

}  // namespace

template <int S>
std::uint64_t ConcurrentHashMap_string<S>::scan_bucket(std::uint64_t cursor, bool values,
                                                       std::vector<ScannedEntry> &out) {
  out.clear();
  ReadScope op(*this);
  u64 n = 0;
  Bucket *twin;
  Bucket *first_bucket = lock_bucket_pair(static_cast<long long>(cursor), twin, &n);
  PairUnlock unlock{first_bucket, twin};
  check_bucket(first_bucket);
  if (twin) check_bucket(twin);
  // A forward word left over from an expansion that has doubled the table
  // (marks are cleared a slice at a time after the doubling, and the next
  // expansion may begin first) names a bucket of the current table, which the
  // walk visits in its own turn: only the twin of the expansion under way
  // counts.
  const u64 total = this->buckets_per_chunk_ * n, index = cursor & (total - 1);
  if (twin) {
    bool under_way = false;
    try {
      under_way = twin == bucket_at(index + total);
    } catch (...) {
      // no such chunk: no expansion under way
    }
    if (!under_way) twin = nullptr;
  }
  auto copy = [&](const ChunkList &list, std::string &to) {
    if (list.count > limit_) throw_damaged("string inconsistent");
    to.assign(list.count, '\0');
    read_string(list, to.data());
  };
  for (Bucket *b : {first_bucket, twin}) {
    if (b == nullptr) continue;
    const u64 t = b->entries.count;
    if (t == 0) continue;
    ChunkListCursor cur(*this, b->entries);
    for (;; cur.advance()) {
      MapEntry *e = cur.entry();
      ScannedEntry &x = out.emplace_back();
      x.hash = e->hash;
      copy(e->key, x.key);
      if (values) copy(e->value, x.value);
      if (cur.index() + 1 == t) break;
    }
  }
  // Next index in bit-reversed order at the size the bucket was read at.
  return reverse_bits(reverse_bits(cursor | ~(total - 1)) + 1);
}

template <int S> std::uint64_t ConcurrentHashMap_string<S>::clear() {
  std::vector<ScannedEntry> entries;
  u64 removed = 0;
  u64 cursor = 0;
  do {
    cursor = scan_bucket(cursor, false, entries);
    for (const ScannedEntry &k : entries) {
      if (remove(reinterpret_cast<const signed char *>(k.key.data()), k.key.size(), k.hash)) ++removed;
    }
  } while (cursor != 0);
  return removed;
}

template <int S> MapShape ConcurrentHashMap_string<S>::shape() const noexcept {
  MapShape s{};
  if (this->base_ == nullptr) return s;
  s.file_size = mapping_handle_;
  s.arena_size = arena_header(this->base_)->arena_size;
  // The bump is an aligned word that only grows: one read is a true figure.
  s.arena_used = std::atomic_ref<u64>(*reinterpret_cast<u64 *>(this->base_ + offsetof(ArenaHeader, bump)))
                     .load(std::memory_order_acquire);
  s.bucket_chunk_number = this->bucket_chunk_number_;
  s.buckets_per_chunk = this->buckets_per_chunk_;
  s.bucket_chunks_in_use = this->bucket_chunks_in_use();
  s.entry_count = this->entry_count();
  s.expansion_participants = this->participants();
  s.data_chunk_unit = data_chunk_unit_;
  const u64 n = s.bucket_chunks_in_use;
  s.expanding = s.expansion_participants > 0 ||
                (n < s.bucket_chunk_number && word(this->table_[n]).load(std::memory_order_seq_cst) != 0);
  return s;
}

template void ConcurrentHashMap_string<1>::prefetch(const long long *, std::size_t) const noexcept;
template std::uint64_t ConcurrentHashMap_string<1>::scan_bucket(std::uint64_t, bool, std::vector<ScannedEntry> &);
template std::uint64_t ConcurrentHashMap_string<1>::clear();
template MapShape ConcurrentHashMap_string<1>::shape() const noexcept;

}  // namespace fennowick
