// ConcurrentHashMap_string: construction, the three entry operations, teardown.
//
// Invariants of a bucket's entry list (all under the bucket's lock):
//  - entries are dense: entry i lies in node i / 2, slot i % 2;
//  - links >= max(1, ceil(count / 2)); more only after an expansion moved
//    entries out, until the next remove trims the surplus;
//  - every slot at or beyond count has both lists cleared (links 0), so a
//    node handed back to a cache never names chunks that are still in use.
// An operation holds at most one bucket lock, except that get and remove hold
// a bucket being split together with its twin (higher index, taken second).
// No exception leaves a bucket lock held or a half-stored entry counted.
#include "map/string_map.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "shm/arena.hpp"
#include "shm/host.hpp"
#include "shm/spin_lock.hpp"

namespace fennowick {

namespace {

using u64 = std::uint64_t;

template <class T> std::atomic_ref<T> word(T &w) { return std::atomic_ref<T>(w); }

const std::runtime_error &empty_chunks_exception() {
  static const std::runtime_error e("operation on empty chunks!");
  return e;
}


}  // namespace

// Take a bucket's lock. The word comes from the file: one that is neither
// free nor held is damage, refused instead of waited on for ever.
void lock_bucket(Bucket *b) {
  while (!spin_try_lock(b->lock)) {
    const u64 v = std::atomic_ref<u64>(b->lock).load(std::memory_order_relaxed);
    if (v != 0 && v != lock_values<u64>::held) throw_damaged("bucket lock word invalid");
    if (!host::is_finalizing()) host::yield_wait();
  }
}

namespace {

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

u64 ceil_div(u64 a, u64 b) { return a / b + (a % b != 0); }

// Every offset the map follows from the file lies inside the arena and past
// the arena header: the map writes through these addresses, and a write into
// the header (bump, unit, free lists) would turn into wrong frees later.
template <class T = unsigned char>
T *in_arena(unsigned char *base, u64 limit, u64 off, u64 len, const char *what) {
  if (off < arena_header_size) throw_damaged(what);
  return at_checked<T>(base, limit, off, len, what);
}

}  // namespace

const std::out_of_range &offset_overflow_exception() {
  static const std::out_of_range e("offset overflow!");
  return e;
}

// ---- exceptions -----------------------------------------------------------

template <int S> const std::invalid_argument &ConcurrentHashMap_string<S>::size_exception() {
  static const std::invalid_argument e("size should be greater than zero!");
  return e;
}
template <int S> const std::invalid_argument &ConcurrentHashMap_string<S>::bucket_chunk_number_exception() {
  static const std::invalid_argument e("bucket chunk number should be greater than zero!");
  return e;
}
template <int S>
const std::invalid_argument &ConcurrentHashMap_string<S>::string_chunk_size_exponent_exception() {
  static const std::invalid_argument e("string_chunk_size_exponent should be greater than 2!");
  return e;
}
template <int S> const bad_allocation &ConcurrentHashMap_string<S>::bad_alloc_exception() {
  static const bad_allocation e;
  return e;
}

// ---- offsets from the file --------------------------------------------------

template <int S> unsigned char *ConcurrentHashMap_string<S>::link(u64 off) const {
  return in_arena(this->base_, limit_, off, sizeof(ChunkLink), "chunk link out of range");
}

template <int S>
unsigned char *ConcurrentHashMap_string<S>::payload(const unsigned char *lnk, u64 len) const {
  return in_arena(this->base_, limit_, load<u64>(lnk), len, "chunk payload out of range");
}

template <int S> unsigned char *ConcurrentHashMap_string<S>::node_link(u64 off) const {
  unsigned char *p = link(off);
  writable(p, sizeof(ChunkLink));
  return p;
}

template <int S> unsigned char *ConcurrentHashMap_string<S>::node_payload(const unsigned char *lnk) const {
  unsigned char *p = payload(lnk, 2 * sizeof(MapEntry));
  writable(p, 2 * sizeof(MapEntry));
  return p;
}

template <int S> void ConcurrentHashMap_string<S>::writable(const unsigned char *p, u64 len) const {
  if (over_structure(offset_of(this->base_, p), len)) throw_damaged("chunk over the map's own structures");
}

// ---- the map's own structures ------------------------------------------------------

template <int S> void ConcurrentHashMap_string<S>::setup_guard() {
  // Granules no larger than a bucket chunk, so that only the two at its ends
  // are shared with other chunks (and need the exact check), and no more than
  // about a million of them: at most 128 KiB of bits for any arena.
  const u64 chunk_bytes = this->buckets_per_chunk_ * sizeof(Bucket);
  guard_shift_ = std::clamp(static_cast<unsigned>(std::bit_width(chunk_bytes)) - 1, 6u, 12u);
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
  if (l.links == 0 || l.links > max_links(unit_node) || l.count > 2 * l.links)
    throw_damaged("bucket counts impossible");
}

// An Allocator follows a link's next offset and frees its chunks without
// looking: a chain read from the file is checked here first, so that nothing
// outside the arena, and no chunk its arena class would refuse, ever reaches
// a cache or a free list.
template <int S>
void ConcurrentHashMap_string<S>::check_chain(const unsigned char *first, u64 n, u64 payload_unit) const {
  if (n > max_links(payload_unit)) throw_damaged("chain longer than the arena can hold");
  const auto unit = static_cast<std::uint8_t>(payload_unit);
  auto is_chunk = [&](u64 off, std::uint8_t u) {
    return off >= arena_header_size + 2 && this->base_[off - 1] == u && this->base_[off - 2] == chunk_size_for(u);
  };
  const unsigned char *lnk = first;
  for (u64 i = 0; i < n; ++i) {
    writable(lnk, sizeof(ChunkLink));
    writable(payload(lnk, payload_unit), payload_unit);
    if (!is_chunk(offset_of(this->base_, lnk), unit_link) || !is_chunk(load<u64>(lnk), unit))
      throw_damaged("chain names a chunk of another unit");
    if (i + 1 < n) lnk = link(load<u64>(lnk + 8));
  }
}

// ---- construction -------------------------------------------------------------

template <int S>
ConcurrentHashMap_string<S>::ConcurrentHashMap_string(std::string &name, unsigned char bucket_chunk_size_exponent,
                                                      unsigned long long bucket_chunk_number,
                                                      unsigned long long size,
                                                      unsigned char string_chunk_size_exponent) {
  this->bucket_chunk_number_ = bucket_chunk_number;
  if (size == 0) throw size_exception();
  if (string_chunk_size_exponent <= 2) throw string_chunk_size_exponent_exception();
  if (bucket_chunk_number == 0) throw bucket_chunk_number_exception();
  // Values that pass the checks above but cannot work, refused before
  // anything is made: a data unit must fit its one byte, and the table and
  // chunk sizes must not wrap in 64 bits.
  if (string_chunk_size_exponent >= 8)
    throw std::invalid_argument("string_chunk_size_exponent should be less than 8!");
  if (bucket_chunk_size_exponent >= 58)
    throw std::invalid_argument("bucket_chunk_size_exponent should be less than 58!");
  if (bucket_chunk_number > (u64{1} << 60))
    throw std::invalid_argument("bucket chunk number is too large!");
  this->buckets_per_chunk_ = u64{1} << bucket_chunk_size_exponent;
  try {
    if (name.empty())
      create(name, bucket_chunk_size_exponent, size, string_chunk_size_exponent);
    else
      open(name);
  } catch (...) {
    destroy();
    throw;
  }
}

template <int S>
void ConcurrentHashMap_string<S>::create(std::string &name, unsigned char, unsigned long long size,
                                         unsigned char string_chunk_size_exponent) {
  data_chunk_unit_ = static_cast<std::uint8_t>(round_up_8((u64{1} << string_chunk_size_exponent) - 2));
  const u64 s = this->buckets_per_chunk_;
  file_handle_t file = invalid_file;
  mapping_handle_t mapping = invalid_mapping;
  std::string created;
  unsigned char *base = region_open(size, nullptr, data_chunk_unit_, file, mapping, &created);
  if (base == nullptr) throw bad_alloc_exception();
  name = created;
  this->base_ = base;
  file_handle_ = file;
  mapping_handle_ = mapping;
  limit_ = arena_header(base)->arena_size;
  try {
    unsigned char *header_chunk = arena_alloc_chunks(base, 1, unit_map_header);
    if (header_chunk == nullptr) throw std::runtime_error(last_error() ? last_error() : "out of memory");
    auto *header = reinterpret_cast<MapHeader *>(header_chunk + 2);

    node_allocator_ = new Allocator(2, base);
    unsigned char *tail = nullptr;
    unsigned char *first = node_allocator_->refill_records(s, tail);
    node_allocator_->push_front(first, tail, s);

    bucket_chunk_cache_ = static_cast<unsigned char **>(host::mem_alloc(this->bucket_chunk_number_ * 8));
    if (bucket_chunk_cache_ == nullptr) throw std::runtime_error("PyMem_Malloc failed!");

    auto block = [&](u64 n) {
      void *p = arena_alloc_block(base, n);
      if (p == nullptr) throw std::runtime_error(last_error() ? last_error() : "out of memory");
      return static_cast<unsigned char *>(p);
    };
    unsigned char *table = block(this->bucket_chunk_number_ * 8);
    unsigned char *chunk0 = block(s * sizeof(Bucket));
    this->table_ = reinterpret_cast<u64 *>(table);
    std::memset(table, 0, this->bucket_chunk_number_ * 8);
    for (u64 i = 0; i < this->bucket_chunk_number_; ++i) bucket_chunk_cache_[i] = nullptr;
    bucket_chunk_cache_[0] = chunk0;
    this->table_[0] = offset_of(base, chunk0);
    for (u64 i = 0; i < s; ++i) init_bucket(reinterpret_cast<Bucket *>(chunk0) + i);

    u64 *words[5];
    for (auto &w : words) {
      w = reinterpret_cast<u64 *>(block(8));
      *w = 0;
    }
    *words[0] = 1;
    this->bucket_chunks_in_use_ = words[0];
    this->expansion_participants_ = words[1];
    this->expansion_lock_ = words[2];
    this->migration_cursor_ = reinterpret_cast<std::int64_t *>(words[3]);
    this->entry_count_ = words[4];
    this->table_offset_ = offset_of(base, table);
    this->in_use_offset_ = offset_of(base, words[0]);
    this->participants_offset_ = offset_of(base, words[1]);
    this->lock_offset_ = offset_of(base, words[2]);
    this->cursor_offset_ = offset_of(base, words[3]);
    this->entry_count_offset_ = offset_of(base, words[4]);

    MapHeader h{};
    h.creator_word = reinterpret_cast<u64>(this);
    h.creator_base = reinterpret_cast<u64>(base);
    h.bucket_chunk_number = this->bucket_chunk_number_;
    h.buckets_per_chunk = s;
    h.table = this->table_offset_;
    h.bucket_chunks_in_use = this->in_use_offset_;
    h.expansion_participants = this->participants_offset_;
    h.expansion_lock = this->lock_offset_;
    h.migration_cursor = this->cursor_offset_;
    h.entry_count = this->entry_count_offset_;
    h.data_chunk_unit = data_chunk_unit_;
    std::memcpy(h.unwritten_120, reinterpret_cast<unsigned char *>(header) + 120, 16);
    std::memcpy(h.unwritten_161, reinterpret_cast<unsigned char *>(header) + 161, 7);
    std::memcpy(header, &h, sizeof h);
    setup_guard();
  } catch (...) {
    destroy();
    std::error_code ec;
    if (!std::filesystem::remove(created, ec) && ec)
      throw std::filesystem::filesystem_error("remove", std::filesystem::path(created), ec);
    throw;
  }
  data_allocator_ = new Allocator(data_chunk_unit_, base);
}

template <int S> void ConcurrentHashMap_string<S>::open(const std::string &name) {
  if (name.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte in name");
  struct stat st;
  if (::stat(name.c_str(), &st) != 0) throw std::runtime_error("file status wrong with errno: " + std::to_string(errno));
  if (!S_ISREG(st.st_mode)) throw std::runtime_error("not a map file: not a regular file");
  if (static_cast<u64>(st.st_size) < region_overhead)
    throw std::runtime_error("not a map file: too short for its headers");
  file_handle_t file = invalid_file;
  mapping_handle_t mapping = invalid_mapping;
  record_error(0, nullptr);  // so that a refusal below is reported with its own text
  unsigned char *base = region_open(static_cast<u64>(st.st_size), name.c_str(), 0, file, mapping);
  if (base == nullptr) {
    // Refused as not a region, or could not be mapped: say why.
    const char *why = last_error();
    if (why && std::strstr(why, "map file")) throw std::runtime_error(why);
    throw bad_alloc_exception();
  }
  this->base_ = base;
  file_handle_ = file;
  mapping_handle_ = mapping;
  const u64 limit = arena_header(base)->arena_size;
  limit_ = limit;

  // Nothing of the header is trusted before it has been checked.
  auto bad = [](const char *what) -> void { throw std::runtime_error(std::string("not a map file: ") + what); };
  if (limit < map_header_offset + sizeof(MapHeader)) bad("too small for a map header");
  MapHeader h;
  std::memcpy(&h, base + map_header_offset, sizeof h);
  if (base[map_header_offset - 1] != unit_map_header) bad("no map header at its place");
  const u64 units[] = {8, 16, 32, 64, 128};
  bool unit_ok = false;
  for (u64 u : units) unit_ok |= h.data_chunk_unit == u;
  if (!unit_ok || h.data_chunk_unit != arena_header(base)->data_unit) bad("data chunk unit invalid");
  if (h.bucket_chunk_number == 0 || h.bucket_chunk_number > (u64{1} << 60)) bad("bucket chunk number invalid");
  if (h.buckets_per_chunk == 0 || !std::has_single_bit(h.buckets_per_chunk) ||
      h.buckets_per_chunk > limit / sizeof(Bucket))
    bad("buckets per chunk invalid");
  auto inside = [&](u64 off, u64 len) {
    return off % 8 == 0 && off >= arena_header_size && off <= limit && len <= limit - off;
  };
  if (!inside(h.table, h.bucket_chunk_number * 8)) bad("bucket chunk table outside the arena");
  const u64 word_offsets[] = {h.bucket_chunks_in_use, h.expansion_participants, h.expansion_lock,
                              h.migration_cursor, h.entry_count};
  for (u64 off : word_offsets)
    if (!inside(off, 8)) bad("shared word outside the arena");

  this->bucket_chunk_number_ = h.bucket_chunk_number;
  this->buckets_per_chunk_ = h.buckets_per_chunk;
  data_chunk_unit_ = h.data_chunk_unit;
  this->table_offset_ = h.table;
  this->in_use_offset_ = h.bucket_chunks_in_use;
  this->participants_offset_ = h.expansion_participants;
  this->lock_offset_ = h.expansion_lock;
  this->cursor_offset_ = h.migration_cursor;
  this->entry_count_offset_ = h.entry_count;
  this->table_ = at<u64>(base, h.table);
  this->bucket_chunks_in_use_ = at<u64>(base, h.bucket_chunks_in_use);
  this->expansion_participants_ = at<u64>(base, h.expansion_participants);
  this->expansion_lock_ = at<u64>(base, h.expansion_lock);
  this->migration_cursor_ = at<std::int64_t>(base, h.migration_cursor);
  this->entry_count_ = at<u64>(base, h.entry_count);

  const u64 n = word(*this->bucket_chunks_in_use_).load(std::memory_order_acquire);
  if (n == 0 || !std::has_single_bit(n) || n > h.bucket_chunk_number) bad("bucket chunks in use invalid");

  node_allocator_ = new Allocator(2, base);
  bucket_chunk_cache_ = static_cast<unsigned char **>(host::mem_alloc(this->bucket_chunk_number_ * 8));
  if (bucket_chunk_cache_ == nullptr) throw std::runtime_error("PyMem_Malloc failed!");
  for (u64 i = 0; i < this->bucket_chunk_number_; ++i) bucket_chunk_cache_[i] = nullptr;
  setup_guard();
  for (u64 i = 0; i < n; ++i) chunk_address(i);

  // Everything the map writes through must lie in carved space: a structure
  // beyond the bump would be overwritten by the next chunk carved, turning
  // string bytes into lock words. Table slots are read before the bump (a
  // leader carves before it publishes) and the bump only grows, so a sound
  // map always passes. The bump is an aligned word changed only under the
  // arena lock; one stale read can only make this check stricter.
  const u64 chunk_bytes = this->buckets_per_chunk_ * sizeof(Bucket);
  std::vector<std::pair<u64, u64>> used{{u64{h.table}, u64{h.bucket_chunk_number} * 8}};
  for (u64 off : word_offsets) used.emplace_back(off, 8);
  const u64 slots = 2 * n < h.bucket_chunk_number ? 2 * n : h.bucket_chunk_number;
  for (u64 i = 0; i < slots; ++i) {
    const u64 off = word(this->table_[i]).load(std::memory_order_acquire);
    if (off > claim_marker) used.emplace_back(off, chunk_bytes);
  }
  const u64 bump = std::atomic_ref<u64>(*at<u64>(base, offsetof(ArenaHeader, bump))).load(std::memory_order_acquire);
  for (const auto &[off, len] : used)
    if (off > bump || len > bump - off) throw_damaged("map structure beyond the carved space");
  // Nor may two of them share a byte: a table over a bucket chunk, or two
  // chunks over each other, turn one's entries into the other's lock words.
  std::sort(used.begin(), used.end());
  for (std::size_t i = 1; i < used.size(); ++i)
    if (used[i - 1].first + used[i - 1].second > used[i].first) throw_damaged("map structures overlap");
  data_allocator_ = new Allocator(data_chunk_unit_, base);
}

// ---- teardown ------------------------------------------------------------------

// Whether flush can give every cached link and payload of both caches back:
// each lies in the arena, still carries its unit byte, and shares no byte with
// any other (a freed chunk gets a free-list offset written into it, which
// would corrupt an overlapping one, or the same one met again through a
// cycle, before flush reaches it). In a sound file this always holds; in a
// damaged one, chains and free lists can make cached chunks overlap, and
// flush would end the process.
template <int S> bool ConcurrentHashMap_string<S>::caches_intact() const noexcept {
  try {
    std::vector<std::pair<u64, u64>> chunks;  // start, size
    auto add = [&](u64 payload_off, u64 unit) {
      const u64 size = chunk_size_for(static_cast<std::uint8_t>(unit));
      if (payload_off < arena_header_size + 2 || payload_off > limit_ || unit > limit_ - payload_off) return false;
      if (this->base_[payload_off - 1] != unit || this->base_[payload_off - 2] != size) return false;
      chunks.emplace_back(payload_off - 2, size);
      return true;
    };
    for (const Allocator *a : {data_allocator_, node_allocator_}) {
      if (a == nullptr) continue;
      const unsigned char *lnk = a->head();
      const u64 n = a->count();
      for (u64 i = 0; i < n; ++i) {
        if (lnk == nullptr || lnk < this->base_) return false;
        if (!add(offset_of(this->base_, lnk), unit_link) || !add(load<u64>(lnk), a->payload_unit())) return false;
        if (i + 1 < n) lnk = this->base_ + load<u64>(lnk + 8);
      }
    }
    std::sort(chunks.begin(), chunks.end());
    for (std::size_t i = 1; i < chunks.size(); ++i)
      if (chunks[i - 1].first + chunks[i - 1].second > chunks[i].first) return false;
    return true;
  } catch (...) {
    return false;  // no memory to check: dropping the caches is safe
  }
}

template <int S> void ConcurrentHashMap_string<S>::destroy() noexcept {
  if (this->base_ == nullptr) return;
  // A cache that a damaged file has overwritten is dropped instead of
  // flushed: its chunks stay out of use in that file, and the process lives.
  const bool intact = caches_intact();
  for (Allocator **a : {&data_allocator_, &node_allocator_}) {
    if (*a == nullptr) continue;
    if (intact) (*a)->flush();
    else (*a)->forget_after_fork();
    delete *a;
    *a = nullptr;
  }
  if (bucket_chunk_cache_) {
    host::mem_free(bucket_chunk_cache_);
    bucket_chunk_cache_ = nullptr;
  }
  host::mem_free(guard_bits_);
  guard_bits_ = nullptr;
  region_close(this->base_, file_handle_, mapping_handle_);
  this->base_ = nullptr;
  file_handle_ = invalid_file;
  mapping_handle_ = invalid_mapping;
}

template <int S> ConcurrentHashMap_string<S>::~ConcurrentHashMap_string() { destroy(); }

// ---- buckets -----------------------------------------------------------------------

template <int S> unsigned char *ConcurrentHashMap_string<S>::chunk_address(u64 chunk) {
  // The chunk index comes from bucket_chunks_in_use, which is re-read from
  // the file: it must stay inside this process's cache (and the table).
  if (chunk >= this->bucket_chunk_number_) throw_damaged("bucket chunks in use out of range");
  // Threads of this process may fill one slot at once; they store the same
  // address, so relaxed access is enough.
  std::atomic_ref<unsigned char *> slot(bucket_chunk_cache_[chunk]);
  unsigned char *c = slot.load(std::memory_order_relaxed);
  if (c == nullptr) [[unlikely]] {
    const u64 off = word(this->table_[chunk]).load(std::memory_order_acquire);
    if (off <= claim_marker) throw std::runtime_error("map file is damaged: bucket chunk missing");
    if (off % 8 != 0) throw_damaged("bucket chunk misaligned");
    c = in_arena(this->base_, limit_, off, this->buckets_per_chunk_ * sizeof(Bucket), "bucket chunk out of range");
    guard(off, this->buckets_per_chunk_ * sizeof(Bucket));  // before any chunk named by the file can be checked against it
    slot.store(c, std::memory_order_relaxed);
  }
  return c;
}

template <int S> Bucket *ConcurrentHashMap_string<S>::bucket_at(u64 k) {
  const u64 s = this->buckets_per_chunk_;
  return reinterpret_cast<Bucket *>(chunk_address(k / s)) + (k % s);
}

template <int S> Bucket *ConcurrentHashMap_string<S>::locate_bucket(long long hash) {
  if (this->base_ == nullptr) throw empty_chunks_exception();
  const u64 n = word(*this->bucket_chunks_in_use_).load(std::memory_order_seq_cst);
  const u64 total = this->buckets_per_chunk_ * n;
  return bucket_at(static_cast<u64>(hash) & (total - 1));
}

template <int S> Bucket *ConcurrentHashMap_string<S>::bucket_by_offset(u64 off) {
  if (off % 8 != 0) throw_damaged("forward word misaligned");
  return in_arena<Bucket>(this->base_, limit_, off, sizeof(Bucket), "forward word out of range");
}

template <int S> void ConcurrentHashMap_string<S>::init_bucket(Bucket *bucket) {
  std::memset(static_cast<void *>(bucket), 0, sizeof(Bucket));
  unsigned char *node = node_allocator_->take_records(1);
  bucket->entries.first = offset_of(this->base_, node);
  bucket->entries.count = 0;
  bucket->entries.links = 1;
  bucket->entries.per_link = 2;
  bucket->entries.base_scratch = 0;
}

// ---- strings -------------------------------------------------------------------------

template <int S>
void ConcurrentHashMap_string<S>::store_bytes(ChunkList &list, const signed char *source, u64 length,
                                              Allocator &allocator) {
  const u64 U = allocator.payload_unit();
  const u64 old_links = list.links;
  const u64 new_links = ceil_div(length, U);
  // The old chain is overwritten and partly given back: check all of it
  // before the first byte changes.
  if (old_links) check_chain(link(list.first), old_links, U);
  // Take what is missing first: a failed take leaves the list as it was.
  unsigned char *extra = nullptr;
  if (new_links > old_links) extra = allocator.take_data(new_links - old_links);
  const auto *src = reinterpret_cast<const unsigned char *>(source);

  unsigned char *lnk = old_links ? link(list.first) : nullptr;
  unsigned char *last_written = nullptr;
  u64 i = 0;
  const u64 keep = old_links < new_links ? old_links : new_links;
  for (; i < keep; ++i) {
    const u64 from = i * U, n = (length - from < U) ? length - from : U;
    std::memcpy(payload(lnk, U), src + from, n);
    last_written = lnk;
    if (i + 1 < old_links) lnk = link(load<u64>(lnk + 8));
  }
  if (old_links > new_links) {
    // lnk is link number new_links (or link 0 when new_links is 0)
    unsigned char *surplus = new_links == 0 ? link(list.first) : lnk;
    list.count = length;
    list.links = new_links;
    list.per_link = static_cast<std::uint8_t>(U);
    list.base_scratch = reinterpret_cast<u64>(allocator.base());
    allocator.release(old_links - new_links, surplus);
    return;
  }
  if (extra) {
    if (last_written) store<u64>(last_written + 8, offset_of(this->base_, extra));
    else list.first = offset_of(this->base_, extra);
    lnk = extra;
    for (; i < new_links; ++i) {
      const u64 from = i * U, n = (length - from < U) ? length - from : U;
      unsigned char *to = payload(lnk, U);
      writable(to, U);
      std::memcpy(to, src + from, n);
      if (i + 1 < new_links) lnk = link(load<u64>(lnk + 8));
    }
  }
  list.count = length;
  list.links = new_links;
  list.per_link = static_cast<std::uint8_t>(U);
  list.base_scratch = reinterpret_cast<u64>(allocator.base());
}

template <int S>
bool ConcurrentHashMap_string<S>::match(const MapEntry *e, const signed char *key, u64 key_len, long long hash) {
  if (e->hash != hash) return false;
  auto *entry = const_cast<MapEntry *>(e);
  entry->key.base_scratch = reinterpret_cast<u64>(data_allocator_->base());
  if (entry->key.count != key_len) return false;
  const u64 U = entry->key.per_link;
  const u64 links = entry->key.links;
  if (key_len == 0) return true;
  if (U == 0 || links != ceil_div(key_len, U)) throw_damaged("key string inconsistent");
  const auto *k = reinterpret_cast<const unsigned char *>(key);
  unsigned char *lnk = link(entry->key.first);
  for (u64 i = 0; i < links; ++i) {
    const u64 from = i * U, n = key_len - from < U ? key_len - from : U;
    if (std::memcmp(payload(lnk, U), k + from, n) != 0) return false;
    if (i + 1 < links) lnk = link(load<u64>(lnk + 8));
  }
  return true;
}

// ---- operations ----------------------------------------------------------------------

template <int S>
void ConcurrentHashMap_string<S>::insert(const signed char *key, const signed char *value,
                                         unsigned long long key_len, unsigned long long value_len,
                                         long long hash) {
  if (this->base_ == nullptr) throw empty_chunks_exception();
  bool chance = true;
  BucketLock guard;
  Bucket *b;
  for (;;) {
    const u64 n = this->bucket_chunks_in_use();
    const u64 k = static_cast<u64>(hash) & (this->buckets_per_chunk_ * n - 1);
    b = bucket_at(k);
    guard = BucketLock(b);
    const u64 fwd = word(b->forward).load(std::memory_order_seq_cst);
    const u64 now = this->bucket_chunks_in_use();
    if (fwd == 0 && now == n) break;
    // The wait below ends when an expansion clears the mark; a mark that no
    // expansion wrote would never be cleared.
    if (fwd != 0 && !forward_plausible(k, now, fwd)) throw_damaged("forward word names no twin");
    guard.unlock();
    if (fwd == 0) continue;  // the table doubled under us: hash again
    if (chance) {
      chance = false;
      if (this->join_for_load()) {
        expand_quietly();
        continue;
      }
    }
    if (!host::is_finalizing()) host::sleep_wait();
  }
  check_bucket(b);
  ChunkList &entries = b->entries;
  entries.base_scratch = reinterpret_cast<u64>(this->base_);
  const u64 t = entries.count;

  // Existing key: replace the value in place.
  if (t > 0) {
    ChunkListCursor cur(*this, entries);
    for (;;) {
      MapEntry *e = cur.entry();
      if (match(e, key, key_len, hash)) {
        store_bytes(e->value, value, value_len, *data_allocator_);
        return;
      }
      if (cur.index() + 1 == t) break;
      cur.advance();
    }
    unsigned char *lnk = cur.current_link();
    const bool need_node = (t - 1) % 2 == 1 && (t - 1) / 2 == entries.links - 1;
    // Everything that can fail happens before the entry is counted.
    unsigned char *node = need_node ? node_allocator_->take_records(1) : nullptr;
    ChunkList k{}, v{};
    try {
      store_bytes(k, key, key_len, *data_allocator_);
      store_bytes(v, value, value_len, *data_allocator_);
    } catch (...) {
      release_list(k);
      if (node) node_allocator_->release(1, node);
      throw;
    }
    if (node) {
      store<u64>(lnk + 8, offset_of(this->base_, node));
      entries.links += 1;
      lnk = node;
    } else if (t % 2 == 0) {
      lnk = node_link(load<u64>(lnk + 8));
    }
    auto *e = reinterpret_cast<MapEntry *>(node_payload(lnk) + sizeof(MapEntry) * (t % 2));
    e->key = k;
    e->value = v;
    e->hash = hash;
    entries.count = t + 1;
    word(*this->entry_count_).fetch_add(1, std::memory_order_seq_cst);
    guard.unlock();
    // Load check, after an append to a non-empty bucket only.
    const unsigned __int128 capacity = static_cast<unsigned __int128>(2) * this->buckets_per_chunk_ *
                                       this->bucket_chunks_in_use();
    if (capacity >= this->entry_count()) return;
    if (this->join_for_load()) expand_quietly();
    return;
  }

  // Empty bucket: store into entry 0; no load check.
  ChunkList k{}, v{};
  try {
    store_bytes(k, key, key_len, *data_allocator_);
    store_bytes(v, value, value_len, *data_allocator_);
  } catch (...) {
    release_list(k);
    throw;
  }
  unsigned char *node = node_link(entries.first);
  auto *e = reinterpret_cast<MapEntry *>(node_payload(node));
  e->key = k;
  e->value = v;
  e->hash = hash;
  entries.count = 1;
  word(*this->entry_count_).fetch_add(1, std::memory_order_seq_cst);
}

template <int S> void ConcurrentHashMap_string<S>::release_list(ChunkList &list) noexcept {
  try {
    if (list.links) store_bytes(list, nullptr, 0, *data_allocator_);
  } catch (...) {
  }
}

template <int S> void ConcurrentHashMap_string<S>::expand_quietly() noexcept {
  // The entry is stored; an expansion that cannot get its memory leaves the
  // map as it was, and the insert still succeeded.
  try {
    expand();
  } catch (...) {
  }
}

// Whether a bucket's forward word can be an expansion's mark. Read under the
// bucket's lock, with n read after it: the bucket cannot be moved by a later
// expansion while that lock is held, so a mark names the twin in the
// expansion under way (k + s*n), or, until the participant that doubled the
// table clears it, the twin in the one that just doubled it (k + s*n/2).
template <int S> bool ConcurrentHashMap_string<S>::forward_plausible(u64 k, u64 n, u64 fwd) noexcept {
  const u64 s = this->buckets_per_chunk_;
  for (const u64 twin : {k + s * n / 2, k + s * n}) {
    if (twin <= k) continue;
    try {
      if (offset_of(this->base_, bucket_at(twin)) == fwd) return true;
    } catch (...) {
      // that twin's chunk is not there (or not valid): not that one
    }
  }
  return false;
}

namespace {

// Gives back the locks that lock_bucket_pair took, twin first.
struct PairUnlock {
  Bucket *a, *b;
  ~PairUnlock() {
    if (b) spin_unlock(b->lock);
    spin_unlock(a->lock);
  }
};

}  // namespace

// Copy a stored string out; its counts are checked before anything is read.
template <int S> void ConcurrentHashMap_string<S>::read_string(const ChunkList &list, char *dest) const {
  const u64 L = list.count, links = list.links, U = data_chunk_unit_;
  if (links != ceil_div(L, U) || links > max_links(U)) throw_damaged("string inconsistent");
  const unsigned char *l = links ? link(list.first) : nullptr;
  for (u64 j = 0; j < links; ++j) {
    const u64 from = j * U, m = L - from < U ? L - from : U;
    std::memcpy(dest + from, payload(l, U), m);
    if (j + 1 < links) l = link(load<u64>(l + 8));
  }
}

// Lock the bucket of a hash for a lookup. When that bucket is being split,
// its twin is locked too (after it; always the higher index), and the doubling
// is re-checked so that an entry already moved is still seen.
template <int S>
Bucket *ConcurrentHashMap_string<S>::lock_bucket_pair(long long hash, Bucket *&twin, u64 *in_use) {
  if (this->base_ == nullptr) throw empty_chunks_exception();
  for (;;) {
    const u64 n = this->bucket_chunks_in_use();
    Bucket *b = bucket_at(static_cast<u64>(hash) & (this->buckets_per_chunk_ * n - 1));
    lock_bucket(b);
    twin = nullptr;
    const u64 fwd = word(b->forward).load(std::memory_order_seq_cst);
    if (fwd != 0) {
      try {
        twin = bucket_by_offset(fwd);
        // A twin over the bucket itself would be locked twice: for ever.
        const u64 apart = twin > b ? offset_of(reinterpret_cast<unsigned char *>(b), twin)
                                   : offset_of(reinterpret_cast<unsigned char *>(twin), b);
        if (apart < sizeof(Bucket)) throw_damaged("forward word names the bucket itself");
      } catch (...) {
        spin_unlock(b->lock);
        throw;
      }
      try {
        lock_bucket(twin);
      } catch (...) {
        spin_unlock(b->lock);
        throw;
      }
    }
    if (this->bucket_chunks_in_use() == n) {
      if (in_use) *in_use = n;
      b->entries.base_scratch = reinterpret_cast<u64>(this->base_);
      if (twin) twin->entries.base_scratch = reinterpret_cast<u64>(this->base_);
      return b;
    }
    if (twin) spin_unlock(twin->lock);
    spin_unlock(b->lock);
  }
}

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

template <int S>
bool ConcurrentHashMap_string<S>::get(const signed char *key, unsigned long long key_len, long long hash,
                                      ValueSink sink, void *context) {
  Bucket *twin;
  Bucket *b = lock_bucket_pair(hash, twin);
  PairUnlock unlock{b, twin};
  check_bucket(b);
  if (twin) check_bucket(twin);
  for (Bucket *bk : {b, twin}) {
    if (bk == nullptr) continue;
    const u64 t = bk->entries.count;
    if (t == 0) continue;
    ChunkListCursor cur(*this, bk->entries);
    for (;; cur.advance()) {
      MapEntry *e = cur.entry();
      if (!match(e, key, key_len, hash)) {
        if (cur.index() + 1 == t) break;
        continue;
      }
      const u64 L = e->value.count;
      if (L > limit_) throw_damaged("string inconsistent");
      const u64 U = data_chunk_unit_;
      if (e->value.links != ceil_div(L, U) || e->value.links > max_links(U)) throw_damaged("string inconsistent");
      char *dest = sink(context, L);
      if (dest == nullptr) throw std::bad_alloc();
      read_string(e->value, dest);
      return true;
    }
  }
  return false;
}

template <int S>
bool ConcurrentHashMap_string<S>::get(const signed char *key, unsigned long long key_len, long long hash,
                                      char *&value, long long &value_len) {
  struct Buffer {
    char *data = nullptr;
    u64 length = 0;
    ~Buffer() { host::mem_free(data); }
  } buffer;
  const ValueSink sink = [](void *context, u64 length) noexcept -> char * {
    auto *b = static_cast<Buffer *>(context);
    b->data = static_cast<char *>(host::mem_alloc(length + 1));
    b->length = length;
    return b->data;
  };
  if (!get(key, key_len, hash, sink, &buffer)) return false;
  buffer.data[buffer.length] = 0;
  value = std::exchange(buffer.data, nullptr);
  value_len = static_cast<long long>(buffer.length);
  return true;
}

template <int S>
bool ConcurrentHashMap_string<S>::remove(const signed char *key, unsigned long long key_len, long long hash) {
  Bucket *twin;
  Bucket *first_bucket = lock_bucket_pair(hash, twin);
  PairUnlock unlock{first_bucket, twin};
  check_bucket(first_bucket);
  if (twin) check_bucket(twin);
  for (Bucket *b : {first_bucket, twin}) {
    if (b == nullptr) continue;
    ChunkList &entries = b->entries;
    const u64 t = entries.count;
    if (t == 0) continue;
    // Walk to the last entry, remembering the last match.
    ChunkListCursor cur(*this, entries);
    MapEntry *found = nullptr, *last = nullptr;
    for (;;) {
      MapEntry *e = cur.entry();
      if (match(e, key, key_len, hash)) found = e;
      last = e;
      if (cur.index() + 1 == t) break;
      cur.advance();
    }
    unsigned char *lnk = cur.current_link();
    if (found == nullptr) continue;
    // lnk: the node of the last entry (index t - 1). The nodes that the trim
    // below gives back are checked before anything changes.
    const u64 m = ceil_div(t, 2);
    const u64 old_links = entries.links;
    if (old_links > m) check_chain(link(load<u64>(lnk + 8)), old_links - m, unit_node);
    if (t - 1 > 0 && (t - 1) % 2 == 0) check_chain(lnk, 1, unit_node);
    ChunkList fk = found->key, fv = found->value;
    const u64 U = data_chunk_unit_;
    if (fk.links) check_chain(link(fk.first), fk.links, U);
    if (fv.links) check_chain(link(fv.first), fv.links, U);
    if (found != last) {
      found->key = last->key;
      found->value = last->value;
      found->hash = last->hash;
    }
    std::memset(static_cast<void *>(last), 0, sizeof(MapEntry));
    entries.count = t - 1;
    // Trim: keep ceil(t / 2) nodes, then give back the last node if it just
    // became empty; a bucket keeps at least one node.
    unsigned char *surplus = nullptr;
    u64 surplus_n = 0;
    if (old_links != m && old_links > m) {
      surplus = link(load<u64>(lnk + 8));
      surplus_n = old_links - m;
      entries.links = m;
    }
    unsigned char *emptied = nullptr;
    if (t - 1 > 0 && (t - 1) % 2 == 0) {
      emptied = lnk;
      entries.links -= 1;
    }
    word(*this->entry_count_).fetch_sub(1, std::memory_order_seq_cst);
    // The entry is out and counted out; give its memory back (checked
    // above, so only an allocator's own refusal can still throw here).
    if (fk.links) store_bytes(fk, nullptr, 0, *data_allocator_);
    if (fv.links) store_bytes(fv, nullptr, 0, *data_allocator_);
    if (surplus_n) node_allocator_->release(surplus_n, surplus);
    if (emptied) node_allocator_->release(1, emptied);
    return true;
  }
  return false;
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
  u64 n = 0;
  Bucket *twin;
  Bucket *first_bucket = lock_bucket_pair(static_cast<long long>(cursor), twin, &n);
  PairUnlock unlock{first_bucket, twin};
  check_bucket(first_bucket);
  if (twin) check_bucket(twin);
  // A forward word left over from the expansion that made this size (cleared
  // lazily after the doubling) names a bucket of the current table, which the
  // walk visits in its own turn: only a twin of an expansion under way counts.
  const u64 total = this->buckets_per_chunk_ * n, index = cursor & (total - 1), half = total / 2;
  if (twin && half && index < half && twin == bucket_at(index + half)) twin = nullptr;
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
  ArenaHeader *h = arena_header(this->base_);
  s.file_size = mapping_handle_;
  s.arena_size = h->arena_size;
  {
    std::uint32_t &w = arena_lock_word(this->base_);
    spin_lock_yielding(w);
    s.arena_used = h->bump;
    spin_unlock(w);
  }
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

template class ConcurrentHashMap_string<1>;

}  // namespace fennowick
