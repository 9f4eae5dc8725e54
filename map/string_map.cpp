// ConcurrentHashMap_string: construction, opening (with its checks of the
// file), teardown and the table of bucket chunks. The operations are in
// string_operations.cpp, the checks of what the file names in
// string_checks.cpp, walks and cache hints in string_bulk.cpp, expansion in
// expansion.cpp.
#include "map/string_map.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "shm/arena.hpp"
#include "shm/host.hpp"

#include "map/string_map_detail.hpp"

namespace fennowick {

using namespace string_map_detail;

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
  bucket_shift_ = bucket_chunk_size_exponent;
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
  record_error(0, nullptr);
  unsigned char *base = region_open(size, nullptr, data_chunk_unit_, file, mapping, &created);
  if (base == nullptr) {
    const char *why = last_error();
    if (why && std::strstr(why, "no space")) throw bad_allocation_because(why);
    if (last_error_errno() != 0) throw bad_allocation_os(last_error_errno(), temporary_directory(), why);
    throw bad_alloc_exception();
  }
  if (!Registry::create(base, file, mapping)) {
    const std::string why = last_error() ? last_error() : "failed to make the process registry";
    region_close(base, file, mapping);
    ::unlink(created.c_str());
    throw std::runtime_error(why);
  }
  name = created;
  this->base_ = base;
  file_handle_ = file;
  mapping_handle_ = mapping;
  limit_ = arena_header(base)->arena_size;
  node_links_max_ = max_links(unit_node);
  try {
    unsigned char *header_chunk = arena_alloc_chunks(base, 1, unit_map_header);
    if (header_chunk == nullptr) throw std::runtime_error(last_error() ? last_error() : "out of memory");
    auto *header = reinterpret_cast<MapHeader *>(header_chunk + 2);

    node_allocator_ = new Allocator(2, base);
    // A table that does not fit says so, and which parameter to change,
    // after the text it always had.
    auto too_small = [&](const std::runtime_error &e) {
      if (std::strcmp(e.what(), std::strerror(ENOMEM)) != 0 && !std::strstr(e.what(), "out of memory"))
        return std::runtime_error(e.what());  // not the arena's space: the file system's, say
      const u64 need = s * creation_bytes_per_bucket + this->bucket_chunk_number_ * 8;
      return std::runtime_error(
          std::string(e.what()) + ": the first bucket chunk (" + std::to_string(s) +
          " buckets, bucket_chunk_size_exponent=" + std::to_string(std::countr_zero(s)) +
          ") and its nodes need about " + std::to_string((need >> 20) + 1) +
          " MiB, more than size=" + std::to_string(size) +
          " leaves; raise size or lower bucket_chunk_size_exponent");
    };
    unsigned char *tail = nullptr;
    unsigned char *first;
    try {
      first = node_allocator_->refill_records(s, tail);
    } catch (const std::runtime_error &e) {
      throw too_small(e);
    }
    node_allocator_->push_front(first, tail, s);

    bucket_chunk_cache_ = static_cast<unsigned char **>(host::mem_alloc(this->bucket_chunk_number_ * 8));
    if (bucket_chunk_cache_ == nullptr) throw std::runtime_error("PyMem_Malloc failed!");

    auto block = [&](u64 n) {
      void *p = arena_alloc_block(base, n);
      if (p == nullptr) throw too_small(std::runtime_error(last_error() ? last_error() : "out of memory"));
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
    registry_.open(base, file);
    data_allocator_ = new Allocator(data_chunk_unit_, base);
    attach_view();
  } catch (...) {
    destroy();
    std::error_code ec;
    if (!std::filesystem::remove(created, ec) && ec)
      throw std::filesystem::filesystem_error("remove", std::filesystem::path(created), ec);
    throw;
  }
}

template <int S> void ConcurrentHashMap_string<S>::open(const std::string &name) {
  if (name.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte in name");
  struct stat st;
  if (::stat(name.c_str(), &st) != 0) throw file_status_error(errno, name);
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
    if (last_error_errno() != 0) throw bad_allocation_os(last_error_errno(), name, why);
    throw bad_alloc_exception();
  }
  this->base_ = base;
  file_handle_ = file;
  mapping_handle_ = mapping;
  const u64 limit = arena_header(base)->arena_size;
  limit_ = limit;
  node_links_max_ = max_links(unit_node);

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
  bucket_shift_ = static_cast<unsigned>(std::countr_zero(h.buckets_per_chunk));
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
  // A file made before registries existed gets one here; one that has no
  // room for it works as before, without recovery.
  registry_.open(base, file);
  attach_view();
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
  // Flushing takes the arena lock: as this view, so that a death in the
  // middle of it leaves a lock word others can reclaim.
  const bool attached = registry_.present() && registry_.own_slot() != nullptr && epoch_ == fork_epoch();
  LockContextScope context(attached ? registry_.holder() : 0, attached ? &registry_ : nullptr);
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
  registry_.close();
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

template class ConcurrentHashMap_string<1>;

}  // namespace fennowick
