// ConcurrentHashMap_string: the three entry operations and the strings they store.
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

#include <cxxabi.h>

#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#include "shm/arena.hpp"
#include "shm/host.hpp"

#include "map/string_map_detail.hpp"

namespace fennowick {

using namespace string_map_detail;

// ---- strings -------------------------------------------------------------------------

template <int S>
void ConcurrentHashMap_string<S>::store_bytes(ChunkList &list, const signed char *source, u64 length,
                                              Allocator &allocator) {
  const u64 U = allocator.payload_unit();
  const u64 old_links = list.links;
  const u64 new_links = ceil_div(length, U);
  // The old chain is overwritten and partly given back: check all of it
  // before the first byte changes.
  unsigned char *old_last = old_links ? check_chain(link(list.first), old_links, U) : nullptr;
  // Take what is missing first: a failed take leaves the list as it was.
  unsigned char *extra = nullptr;
  if (new_links > old_links) extra = allocator.take_data(new_links - old_links);
  const auto *src = reinterpret_cast<const unsigned char *>(source);
  auto piece = [&](u64 i) { return length - i * U < U ? length - i * U : U; };

  // Over the links kept; when the chain shrinks, the walk goes one link
  // further to find the first surplus one.
  unsigned char *last_written = nullptr, *surplus = nullptr;
  const u64 keep = old_links < new_links ? old_links : new_links;
  if (old_links)
    for_each_link(list.first, old_links > keep ? keep + 1 : keep, U,
                  [&](u64 i, unsigned char *lnk, unsigned char *data) {
                    if (i == keep) {
                      surplus = lnk;
                      return false;
                    }
                    std::memcpy(data, src + i * U, piece(i));
                    last_written = lnk;
                    return true;
                  });
  if (old_links > new_links) {
    list.count = length;
    list.links = new_links;
    list.per_link = static_cast<std::uint8_t>(U);
    list.base_scratch = reinterpret_cast<u64>(allocator.base());
    allocator.release(old_links - new_links, surplus, old_last);
    return;
  }
  if (extra) {
    if (last_written) store<u64>(last_written + 8, offset_of(this->base_, extra));
    else list.first = offset_of(this->base_, extra);
    ClearSpan span;
    // Every chunk but the last is full: copied at the unit's size.
    with_known_unit(U, [&](auto unit) {
      constexpr u64 K = decltype(unit)::value;  // 0: a unit only known at run time
      for_each_link(offset_of(this->base_, extra), new_links - keep, U,
                    [&](u64 j, unsigned char *, unsigned char *data) {
                      writable(data, U, span);
                      const u64 from = (keep + j) * U;
                      if (K != 0 && length - from >= K) std::memcpy(data, src + from, K);
                      else std::memcpy(data, src + from, piece(keep + j));
                      return true;
                    });
    });
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
  const auto *k = reinterpret_cast<const unsigned char *>(key);
  if (links == 1 && key_len <= U)  // most keys: one chunk
    return std::memcmp(payload(link(entry->key.first), U), k, key_len) == 0;
  if (U == 0 || links != ceil_div(key_len, U)) throw_damaged("key string inconsistent");
  return for_each_link(entry->key.first, links, U, [&](u64 i, unsigned char *, unsigned char *data) {
    const u64 from = i * U, n = key_len - from < U ? key_len - from : U;
    return std::memcmp(data, k + from, n) == 0;
  });
}

// ---- operations ----------------------------------------------------------------------

template <int S>
void ConcurrentHashMap_string<S>::insert(const signed char *key, const signed char *value,
                                         unsigned long long key_len, unsigned long long value_len,
                                         long long hash) {
  if (this->base_ == nullptr) throw empty_chunks_exception();
  OpScope op(*this);
  bool appended;
  {
    RecordScope rec(*this);
    BucketLock<ConcurrentHashMap_string> guard, twin_guard;
    Bucket *b = nullptr, *target = nullptr;
    for (;;) {
      const u64 n = this->bucket_chunks_in_use();
      const u64 k = static_cast<u64>(hash) & (this->buckets_per_chunk_ * n - 1);
      b = bucket_at(k);
      guard = BucketLock(*this, b);
      u64 fwd = word(b->forward).load(std::memory_order_seq_cst);
      const u64 now = this->bucket_chunks_in_use();
      if (now != n) {  // the table doubled under us: hash again
        guard.unlock();
        continue;
      }
      if (fwd != 0 && stale_forward(k, now, fwd)) {
        // A mark of an expansion that has already doubled the table, not
        // cleared yet (or left by a participant that died).
        word(b->forward).compare_exchange_strong(fwd, 0, std::memory_order_seq_cst);
        fwd = 0;
      }
      target = b;
      if (fwd != 0) {
        // Split in the expansion under way: a key whose hash has the split
        // bit set belongs in the twin, unless it is still here (a move that
        // recovery rolled back is redone later).
        if (!forward_plausible(k, now, fwd)) throw_damaged("forward word names no twin");
        if ((static_cast<u64>(hash) & (this->buckets_per_chunk_ * n)) != 0 && !holds_key(b, key, key_len, hash)) {
          target = bucket_by_offset(fwd);
          twin_guard = BucketLock(*this, target);
          // The table may have doubled before the twin was locked, and the
          // next expansion moved the twin's entries on: hash again.
          if (this->bucket_chunks_in_use() != n) {
            twin_guard.unlock();
            guard.unlock();
            continue;
          }
        }
      }
      break;
    }
    appended = insert_locked(target, target == b ? guard : twin_guard, rec, key, value, key_len, value_len, hash);
  }
  // The lane and the buckets are free again: a slice of an expansion may be
  // done.
  after_write(appended);
}

// Whether bucket b (locked) holds the key.
template <int S>
bool ConcurrentHashMap_string<S>::holds_key(Bucket *b, const signed char *key, u64 key_len, long long hash) {
  check_bucket(b);
  b->entries.base_scratch = reinterpret_cast<u64>(this->base_);
  const u64 t = b->entries.count;
  if (t == 0) return false;
  ChunkListCursor cur(*this, b->entries);
  for (;; cur.advance()) {
    if (match(cur.entry(), key, key_len, hash)) return true;
    if (cur.index() + 1 == t) return false;
  }
}

template <int S>
bool ConcurrentHashMap_string<S>::insert_locked(Bucket *b, BucketLock<ConcurrentHashMap_string> &guard,
                                                RecordScope &rec, const signed char *key, const signed char *value,
                                                u64 key_len, u64 value_len, long long hash) {
  check_bucket(b);
  ChunkList &entries = b->entries;
  entries.base_scratch = reinterpret_cast<u64>(this->base_);
  const u64 t = entries.count;
  rec.begin(op_insert, this->base_, b);

  // Existing key: the new value goes into fresh chunks and the entry is
  // switched to them, so that no one ever reads a value half replaced.
  if (t > 0) {
    ChunkListCursor cur(*this, entries);
    for (;;) {
      MapEntry *e = cur.entry();
      if (match(e, key, key_len, hash)) {
        const ChunkList old = e->value;
        const u64 U = data_chunk_unit_;
        unsigned char *old_last = old.links ? check_chain(link(old.first), old.links, U) : nullptr;
        ChunkList v{};
        store_bytes(v, value, value_len, *data_allocator_);  // throws with nothing changed
        if (OpRecord *r = rec.r) {
          r->a[0] = offset_of(this->base_, e);
          r->a[1] = v.first;
          r->a[2] = v.count;
          r->a[3] = v.links;
          r->a[4] = old.first;
          r->a[5] = old.links;
          word(r->kind).store(op_replace, std::memory_order_seq_cst);
        }
        FENNOWICK_CRASH_POINT();
        e->value.first = v.first;
        FENNOWICK_CRASH_POINT();
        e->value.count = v.count;
        FENNOWICK_CRASH_POINT();
        e->value = v;
        FENNOWICK_CRASH_POINT();
        rec.commit(0);
        guard.unlock();
        FENNOWICK_CRASH_POINT();
        if (old.links) data_allocator_->release(old.links, link(old.first), old_last);
        return false;
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
    // The entry goes into the slot past the count (no one reads it), a new
    // node behind the last one (a spare node is a valid state); raising the
    // count is the one store that makes it visible.
    if (node) {
      store<u64>(lnk + 8, offset_of(this->base_, node));
      FENNOWICK_CRASH_POINT();
      entries.links += 1;
      FENNOWICK_CRASH_POINT();
      lnk = node;
    } else if (t % 2 == 0) {
      lnk = node_link(load<u64>(lnk + 8));
    }
    auto *e = reinterpret_cast<MapEntry *>(node_payload(lnk) + sizeof(MapEntry) * (t % 2));
    e->key = k;
    FENNOWICK_CRASH_POINT();
    e->value = v;
    FENNOWICK_CRASH_POINT();
    e->hash = hash;
    FENNOWICK_CRASH_POINT();
    entries.count = t + 1;
    FENNOWICK_CRASH_POINT();
    rec.commit(1);
    word(*this->entry_count_).fetch_add(1, std::memory_order_seq_cst);
    FENNOWICK_CRASH_POINT();
    guard.unlock();
    return true;
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
  FENNOWICK_CRASH_POINT();
  e->value = v;
  FENNOWICK_CRASH_POINT();
  e->hash = hash;
  FENNOWICK_CRASH_POINT();
  entries.count = 1;
  FENNOWICK_CRASH_POINT();
  rec.commit(1);
  word(*this->entry_count_).fetch_add(1, std::memory_order_seq_cst);
  FENNOWICK_CRASH_POINT();
  return false;
}

template <int S> void ConcurrentHashMap_string<S>::release_list(ChunkList &list) noexcept {
  try {
    if (list.links) store_bytes(list, nullptr, 0, *data_allocator_);
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

// A mark left from an expansion that has already doubled the table: it names
// the twin k + m of an earlier split size m = s*n/2, s*n/4, ... with k < m.
// The participant that doubled clears such marks; one that died before
// finishing (or a latecomer that died before taking its mark back) leaves
// some, and the operations that find them clear them.
template <int S> bool ConcurrentHashMap_string<S>::stale_forward(u64 k, u64 n, u64 fwd) noexcept {
  const u64 s = this->buckets_per_chunk_;
  for (u64 m = s * n / 2; m >= s && m > k; m /= 2) {
    try {
      if (offset_of(this->base_, bucket_at(k + m)) == fwd) return true;
    } catch (...) {
      return false;
    }
    if (m == s) break;
  }
  return false;
}

// Copy a stored string out; its counts are checked before anything is read.
template <int S> void ConcurrentHashMap_string<S>::read_string(const ChunkList &list, char *dest) const {
  const u64 L = list.count, links = list.links, U = data_chunk_unit_;
  if (links == 1 && L - 1 < U) {  // most strings: one chunk of 1 to U bytes
    std::memcpy(dest, payload(link(list.first), U), L);
    return;
  }
  if (links != ceil_div(L, U) || links > max_links(U)) throw_damaged("string inconsistent");
  if (links == 0) return;
  // Every chunk but the last is full: copied at the unit's size.
  with_known_unit(U, [&](auto unit) {
    constexpr u64 K = decltype(unit)::value;  // 0: a unit only known at run time
    for_each_link(list.first, links, U, [&](u64 j, unsigned char *, unsigned char *data) {
      const u64 from = j * U;
      if (K != 0 && L - from >= K) std::memcpy(dest + from, data, K);
      else std::memcpy(dest + from, data, L - from < U ? L - from : U);
      return true;
    });
  });
}

// An entry whose hash matches is nearly always the one looked for: its key
// and value are fetched together instead of one after the other. Both first
// links are loaded at once (two independent misses), then the value's first
// payload is fetched while the key is compared. Only reads of checked
// addresses; a damaged entry is left for match() and read_string() to report.
template <int S> void ConcurrentHashMap_string<S>::fetch_ahead(const MapEntry *e) const noexcept {
  const u64 kf = e->key.first, vf = e->value.first;
  const bool key = e->key.links != 0 && kf >= arena_header_size && kf <= limit_ - sizeof(ChunkLink);
  const bool value = e->value.links != 0 && vf >= arena_header_size && vf <= limit_ - sizeof(ChunkLink);
  if (key) __builtin_prefetch(this->base_ + kf);
  if (!value) return;
  const u64 vp = load<u64>(this->base_ + vf);
  if (vp >= arena_header_size && vp < limit_) __builtin_prefetch(this->base_ + vp);
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

template <int S>
bool ConcurrentHashMap_string<S>::get(const signed char *key, unsigned long long key_len, long long hash,
                                      ValueSink sink, void *context) {
  ReadScope op(*this);
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
      if (e->hash == hash) fetch_ahead(e);
      if (!match(e, key, key_len, hash)) {
        if (cur.index() + 1 == t) break;
        continue;
      }
      const u64 L = e->value.count;
      if (L > limit_) throw_damaged("string inconsistent");  // before anything that size is asked for
      char *dest = sink(context, L);  // read_string checks the chain; the caller owns dest if it throws
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
  OpScope op(*this);
  const bool removed = remove_entry(key, key_len, hash);
  // The buckets are free again: a slice of an expansion under way.
  if (removed) after_write(false);
  return removed;
}

template <int S>
bool ConcurrentHashMap_string<S>::remove_entry(const signed char *key, unsigned long long key_len, long long hash) {
  RecordScope rec(*this);
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
    u64 found_index = 0;
    for (;;) {
      MapEntry *e = cur.entry();
      if (match(e, key, key_len, hash)) {
        found = e;
        found_index = cur.index();
      }
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
    unsigned char *fk_last = fk.links ? check_chain(link(fk.first), fk.links, U) : nullptr;
    unsigned char *fv_last = fv.links ? check_chain(link(fv.first), fv.links, U) : nullptr;
    if (OpRecord *r = rec.r) {  // the details first: begin() publishes them
      r->a[0] = found_index;
      r->a[1] = t;
      r->a[2] = fk.first;
      r->a[3] = fk.links;
      r->a[4] = fv.first;
      r->a[5] = fv.links;
    }
    rec.begin(op_remove, this->base_, b);
    // The last entry stays whole in its slot until the count no longer
    // reaches it: a survivor can always redo the copy from it.
    if (found != last) {
      // Two halves, so that a crash between them leaves a torn slot for the
      // survivor to repair (a memcpy is not one store).
      std::memcpy(static_cast<void *>(found), last, sizeof(MapEntry) / 2);
      FENNOWICK_CRASH_POINT();
      std::memcpy(reinterpret_cast<unsigned char *>(found) + sizeof(MapEntry) / 2,
                  reinterpret_cast<const unsigned char *>(last) + sizeof(MapEntry) / 2,
                  sizeof(MapEntry) - sizeof(MapEntry) / 2);
      FENNOWICK_CRASH_POINT();
    }
    entries.count = t - 1;
    FENNOWICK_CRASH_POINT();
    std::memset(static_cast<void *>(last), 0, sizeof(MapEntry));
    FENNOWICK_CRASH_POINT();
    // Trim: keep ceil(t / 2) nodes, then give back the last node if it just
    // became empty; a bucket keeps at least one node.
    unsigned char *surplus = nullptr;
    u64 surplus_n = 0;
    if (old_links != m && old_links > m) {
      surplus = link(load<u64>(lnk + 8));
      surplus_n = old_links - m;
      entries.links = m;
      FENNOWICK_CRASH_POINT();
    }
    unsigned char *emptied = nullptr;
    if (t - 1 > 0 && (t - 1) % 2 == 0) {
      emptied = lnk;
      entries.links -= 1;
      FENNOWICK_CRASH_POINT();
    }
    rec.commit(-1);
    word(*this->entry_count_).fetch_sub(1, std::memory_order_seq_cst);
    FENNOWICK_CRASH_POINT();
    // The entry is out and counted out; give its memory back (checked
    // above, so only an allocator's own refusal can still throw here).
    if (fk.links) data_allocator_->release(fk.links, link(fk.first), fk_last);
    if (fv.links) data_allocator_->release(fv.links, link(fv.first), fv_last);
    if (surplus_n) node_allocator_->release(surplus_n, surplus);
    if (emptied) node_allocator_->release(1, emptied);
    return true;
  }
  return false;
}

template void ConcurrentHashMap_string<1>::store_bytes(ChunkList &, const signed char *, u64, Allocator &);
template bool ConcurrentHashMap_string<1>::match(const MapEntry *, const signed char *, u64, long long);
template void ConcurrentHashMap_string<1>::insert(const signed char *, const signed char *, unsigned long long,
                                                  unsigned long long, long long);
template bool ConcurrentHashMap_string<1>::insert_locked(Bucket *, BucketLock<ConcurrentHashMap_string<1>> &,
                                                         RecordScope &, const signed char *, const signed char *,
                                                         u64, u64, long long);
template bool ConcurrentHashMap_string<1>::stale_forward(u64, u64, u64) noexcept;
template void ConcurrentHashMap_string<1>::release_list(ChunkList &) noexcept;
template bool ConcurrentHashMap_string<1>::forward_plausible(u64, u64, u64) noexcept;
template void ConcurrentHashMap_string<1>::read_string(const ChunkList &, char *) const;
template void ConcurrentHashMap_string<1>::fetch_ahead(const MapEntry *) const noexcept;
template Bucket *ConcurrentHashMap_string<1>::lock_bucket_pair(long long, Bucket *&, u64 *);
template bool ConcurrentHashMap_string<1>::get(const signed char *, unsigned long long, long long, ValueSink, void *);
template bool ConcurrentHashMap_string<1>::get(const signed char *, unsigned long long, long long, char *&,
                                               long long &);
template bool ConcurrentHashMap_string<1>::remove(const signed char *, unsigned long long, long long);
template bool ConcurrentHashMap_string<1>::remove_entry(const signed char *, unsigned long long, long long);
template bool ConcurrentHashMap_string<1>::holds_key(Bucket *, const signed char *, u64, long long);

}  // namespace fennowick
