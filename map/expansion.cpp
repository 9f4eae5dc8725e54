// Expansion: the table doubles, with any number of participants.
//
// Protocol (s = buckets per chunk, n = bucket_chunks_in_use when it starts):
//  1. Join. A caller takes expansion_lock and counts itself in only while at
//     most 4096 are in and the table has room to double (2n <= capacity).
//     Because joining and the doubling both happen under expansion_lock, a
//     participant always works on the expansion of the n it reads after
//     counting in: n cannot double while it is counted in.
//  2. Claim. Compare-and-swap of table slot n from 0 to the marker 1; the
//     winner leads. It allocates and initialises chunks n..2n-1, sets
//     migration_cursor to s*n - 1, then publishes the chunks' offsets by
//     exchange in descending order, slot n last. If it cannot get the memory
//     it withdraws the claim (slot n back to 0) and counts itself out.
//  3. Wait. Others sleep while slot n holds the marker; when it goes back to
//     0 the claim was withdrawn and they count themselves out.
//  4. Move. Batches of 16 old buckets are claimed by fetch-and-subtract on
//     migration_cursor. Moving bucket f sets its forward word to the twin
//     f + s*n before taking f's lock, then moves every entry whose hash has
//     bit s*n set into the twin, keeping order in both. Only descriptors move.
//  5. Finish. Under expansion_lock the participant counts itself out; the one
//     that brings the count to 0 doubles n if the expansion was published.
//     After releasing the lock it clears the forward words it set, each by
//     compare-and-swap from its own twin's offset, so that a mark of the next
//     expansion (which may start at once) is never wiped.
// Lookups and removals holding a bucket whose forward word is set also lock
// and search the twin (always the higher index), and every operation
// re-checks n after locking, so that no entry is missed while it moves.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "map/string_map.hpp"
#include "shm/arena.hpp"
#include "shm/host.hpp"
#include "shm/spin_lock.hpp"

namespace fennowick {

namespace {
using u64 = std::uint64_t;
template <class T> std::atomic_ref<T> word(T &w) { return std::atomic_ref<T>(w); }
}  // namespace

// ---- common base: shared words and the join / finish steps ------------------------

template <int S> u64 ConcurrentHashMap_base<S>::bucket_chunks_in_use() const noexcept {
  return word(*bucket_chunks_in_use_).load(std::memory_order_seq_cst);
}
template <int S> u64 ConcurrentHashMap_base<S>::entry_count() const noexcept {
  return word(*entry_count_).load(std::memory_order_seq_cst);
}
template <int S> u64 ConcurrentHashMap_base<S>::participants() const noexcept {
  return word(*expansion_participants_).load(std::memory_order_seq_cst);
}

template <int S> bool ConcurrentHashMap_base<S>::join_for_load() noexcept {
  SpinGuard<u64> g(*expansion_lock_);
  const u64 n = bucket_chunks_in_use();
  const unsigned __int128 capacity = static_cast<unsigned __int128>(2) * buckets_per_chunk_ * n;
  if (capacity >= entry_count()) return false;
  if (participants() > max_participants) return false;
  if (2 * n > bucket_chunk_number_) return false;
  word(*expansion_participants_).fetch_add(1, std::memory_order_seq_cst);
  return true;
}

template <int S> bool ConcurrentHashMap_base<S>::join_for_target(u64 target) noexcept {
  SpinGuard<u64> g(*expansion_lock_);
  const u64 n = bucket_chunks_in_use();
  if (n >= target) return false;
  if (participants() > max_participants) return false;
  if (2 * n > bucket_chunk_number_) return false;
  word(*expansion_participants_).fetch_add(1, std::memory_order_seq_cst);
  return true;
}

template <int S> bool ConcurrentHashMap_base<S>::finish(u64 n) noexcept {
  SpinGuard<u64> g(*expansion_lock_);
  const u64 left = word(*expansion_participants_).fetch_sub(1, std::memory_order_seq_cst) - 1;
  if (left != 0) return false;
  // n is what the participant read from the file; only a damaged file makes
  // it name a slot past the table.
  if (n >= bucket_chunk_number_) return false;
  // Last one out. Double only a published expansion: a withdrawn claim
  // leaves slot n at 0 (or at a new leader's marker, who is counted in).
  if (word(table_[n]).load(std::memory_order_seq_cst) <= claim_marker) return false;
  if (bucket_chunks_in_use() != n) return false;
  word(*bucket_chunks_in_use_).store(2 * n, std::memory_order_seq_cst);
  return true;
}

template <int S> void ConcurrentHashMap_base<S>::python_expansion_helper(unsigned long long) {
  if (!join_for_target(~u64{0})) return;
  expand();
}

template class ConcurrentHashMap_base<1>;
template class ConcurrentHashMap_base<0>;

// ---- the string map's expansion ---------------------------------------------------------

template <int S> void ConcurrentHashMap_string<S>::expand() {
  const u64 n = this->bucket_chunks_in_use();
  const u64 s = this->buckets_per_chunk_;
  // Counts this participant out on every way out, exceptions included.
  struct Finish {
    ConcurrentHashMap_string *map;
    u64 n;
    ~Finish() {
      if (map->finish(n)) map->clear_forwards(n);
    }
  } out{this, n};
  // Joining checked that the table has room to double; a file whose count
  // changed under the join (it cannot, in a sound map) is refused here.
  if (n == 0 || n > this->bucket_chunk_number_ / 2) throw_damaged("bucket chunks in use out of range");

  u64 expected = 0;
  if (word(this->table_[n]).compare_exchange_strong(expected, claim_marker, std::memory_order_seq_cst)) {
    // Leader: make the new half, then publish it.
    u64 made = n;
    try {
      for (u64 i = n; i < 2 * n; ++i) {
        void *block = arena_alloc_block(this->base_, s * sizeof(Bucket));
        if (block == nullptr) throw std::runtime_error(last_error() ? last_error() : "out of memory");
        std::atomic_ref<unsigned char *>(bucket_chunk_cache_[i]).store(static_cast<unsigned char *>(block), std::memory_order_relaxed);
        made = i + 1;
        auto *buckets = static_cast<Bucket *>(block);
        for (u64 j = 0; j < s; ++j) init_bucket(buckets + j);
      }
    } catch (...) {
      for (u64 i = n; i < made; ++i)
        std::atomic_ref<unsigned char *>(bucket_chunk_cache_[i]).store(nullptr, std::memory_order_relaxed);
      word(this->table_[n]).exchange(0, std::memory_order_seq_cst);  // withdraw the claim
      throw;
    }
    word(*this->migration_cursor_).store(static_cast<std::int64_t>(s * n - 1), std::memory_order_seq_cst);
    for (u64 i = 2 * n; i-- > n;)
      word(this->table_[i]).exchange(
          offset_of(this->base_, std::atomic_ref<unsigned char *>(bucket_chunk_cache_[i]).load(std::memory_order_relaxed)),
          std::memory_order_seq_cst);
  } else {
    for (;;) {
      const u64 v = word(this->table_[n]).load(std::memory_order_seq_cst);
      if (v == 0) return;  // withdrawn
      if (v != claim_marker) break;
      if (!host::is_finalizing()) host::sleep_wait();
    }
  }

  for (;;) {
    const std::int64_t a = word(*this->migration_cursor_).fetch_sub(migration_batch, std::memory_order_seq_cst);
    if (a < 0) break;
    // A follower reads the cursor that the file holds: above the last old
    // bucket it would send moves past the table.
    if (static_cast<u64>(a) >= s * n) throw_damaged("migration cursor out of range");
    const u64 hi = static_cast<u64>(a);
    const u64 lo = hi >= migration_batch - 1 ? hi - (migration_batch - 1) : 0;
    for (u64 f = lo; f <= hi; ++f) move_bucket(f, n);
  }
}

template <int S> void ConcurrentHashMap_string<S>::move_bucket(u64 f, u64 n) {
  const u64 s = this->buckets_per_chunk_;
  const u64 split = s * n;
  Bucket *old = bucket_at(f);
  Bucket *twin = bucket_at(f + split);
  word(old->forward).exchange(offset_of(this->base_, twin), std::memory_order_seq_cst);
  lock_bucket(old);
  struct Unlock {
    Bucket *b;
    ~Unlock() { spin_unlock(b->lock); }
  } unlock{old};
  this->check_bucket(old);
  this->check_bucket(twin);
  const u64 scratch = reinterpret_cast<u64>(this->base_);
  old->entries.base_scratch = scratch;
  twin->entries.base_scratch = scratch;
  const u64 t = old->entries.count;
  if (t == 0) return;

  // Which entries move: one flag per entry, in list order.
  thread_local std::vector<MapEntry *> slots;
  thread_local std::vector<char> moves;
  slots.assign(t, nullptr);
  moves.assign(t, 0);
  u64 k = 0;
  {
    ChunkListCursor cur(*this, old->entries);
    for (u64 i = 0;; ++i) {
      slots[i] = cur.entry();
      moves[i] = (static_cast<u64>(slots[i]->hash) & split) != 0;
      k += moves[i];
      if (i + 1 == t) break;
      cur.advance();
    }
  }
  if (k == 0) return;

  // Nodes the twin needs, taken before anything changes. When the arena
  // cannot supply them, the twin takes the old bucket's surplus nodes
  // instead: after the split the two buckets need at most the old bucket's
  // nodes plus the twin's own, so a move never fails for want of memory (a
  // participant that gave up half-way would let the table double over
  // entries that did not move).
  ChunkList &tw = twin->entries;
  const u64 room = tw.links * 2 - tw.count;
  const u64 need = k > room ? (k - room + 1) / 2 : 0;
  unsigned char *fresh = nullptr;
  bool steal = false;
  if (need) {
    try {
      fresh = node_allocator_->take_records(need);
    } catch (const std::runtime_error &) {
      steal = true;
    }
  }
  const u64 stay = t - k;
  const u64 keep = stay == 0 ? 1 : (stay + 1) / 2;
  if (steal && old->entries.links < keep + need) throw_damaged("bucket has fewer nodes than entries need");

  // Partition: the moving entries, in order, leave their slots.
  thread_local std::vector<MapEntry> moving;
  moving.clear();
  for (u64 i = 0; i < t; ++i) {
    if (!moves[i]) continue;
    moving.push_back(*slots[i]);
    std::memset(static_cast<void *>(slots[i]), 0, sizeof(MapEntry));
  }
  // Compaction: close the gaps in the old bucket, keeping order. It keeps
  // its links (unless some went to the twin); the next remove trims them.
  u64 free_slot = 0;
  while (free_slot < t && !moves[free_slot]) ++free_slot;
  for (u64 i = free_slot + 1; i < t; ++i) {
    if (moves[i]) continue;
    std::memcpy(static_cast<void *>(slots[free_slot]), slots[i], sizeof(MapEntry));
    std::memset(static_cast<void *>(slots[i]), 0, sizeof(MapEntry));
    ++free_slot;
  }
  old->entries.count = stay;
  if (steal) {
    // Unlink `need` nodes right after the ones the old bucket keeps; every
    // slot in them is clear after the compaction.
    unsigned char *last_kept = node_link(old->entries.first);
    for (u64 i = 1; i < keep; ++i) last_kept = node_link(load<u64>(last_kept + 8));
    fresh = node_link(load<u64>(last_kept + 8));
    unsigned char *last_taken = fresh;
    for (u64 i = 1; i < need; ++i) last_taken = node_link(load<u64>(last_taken + 8));
    store<u64>(last_kept + 8, load<u64>(last_taken + 8));
    old->entries.links -= need;
  }

  // Append the moving entries to the twin in order.
  unsigned char *tail = tw.links ? node_link(tw.first) : nullptr;
  for (u64 i = 1; i < tw.links; ++i) tail = node_link(load<u64>(tail + 8));
  for (const MapEntry &e : moving) {
    const u64 dst_index = tw.count;
    if (dst_index == tw.links * 2) {
      store<u64>(tail + 8, offset_of(this->base_, fresh));
      tail = fresh;
      fresh = this->base_ + load<u64>(fresh + 8);
      tw.links += 1;
    }
    tw.count = dst_index + 1;
    auto *dst = reinterpret_cast<MapEntry *>(node_payload(tail) + sizeof(MapEntry) * (dst_index % 2));
    std::memcpy(static_cast<void *>(dst), &e, sizeof(MapEntry));
  }
}

template <int S> void ConcurrentHashMap_string<S>::clear_forwards(u64 n) noexcept {
  // Runs after the doubling, without any lock: only this participant's
  // expansion marks are cleared; a later expansion's marks name other twins.
  const u64 s = this->buckets_per_chunk_;
  for (u64 f = 0; f < s * n; ++f) {
    try {
      Bucket *old = bucket_at(f);
      u64 expected = offset_of(this->base_, bucket_at(f + s * n));
      word(old->forward).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
    } catch (...) {
      // A damaged table slot: that bucket's mark stays, and inserts into it
      // keep waiting rather than store entries where they would be lost. The
      // marks of every other bucket are still cleared.
    }
  }
}

template void ConcurrentHashMap_string<1>::expand();
template void ConcurrentHashMap_string<1>::move_bucket(u64, u64);
template void ConcurrentHashMap_string<1>::clear_forwards(u64) noexcept;

void python_expansion_helper_string(const std::string &name, unsigned long long target_length) {
  std::string path = name;
  ConcurrentHashMap_string<1> map(path, 2, 2, 2, 3);
  if (!map.join_for_target(target_length)) return;
  map.expand();
}

}  // namespace fennowick
