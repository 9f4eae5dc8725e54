// The pointer-keyed map's expansion, its helper, and the diagnostics.
//
// The protocol is the string map's (see the top of expansion.cpp), sharing
// its join and finish steps: joins under expansion_lock with the capacity
// check, claim of table slot n by compare-and-swap 0 -> 1 (1 is never an
// address), the leader makes chunks n..2n-1, sets migration_cursor, then
// publishes the slots in descending order, slot n last; waiters sleep while
// slot n is 1 and count out if it goes back to 0; batches of 16 buckets by
// fetch-and-subtract; forward set before the old bucket is locked; forward
// cleared after the doubling by compare-and-swap from the own twin's address.
// Here table slots hold addresses, and entries move as three words, so no
// reference count changes while the table grows.
#include <atomic>
#include <string>
#include <vector>

#include "map/pointer_map_detail.hpp"

namespace fennowick {

using namespace detail;

namespace {
template <class T> std::atomic_ref<T> word(T &w) { return std::atomic_ref<T>(w); }
}  // namespace

// ---- expansion ----------------------------------------------------------------------------------

void ConcurrentHashMap_pointer::expand_quietly(u64 n) noexcept {
  // The insert has stored its entry; an expansion that cannot get memory is
  // withdrawn and leaves the table as it was, so the insert still succeeded.
  try {
    expand(n);
  } catch (...) {
  }
}

Bucket *ConcurrentHashMap_pointer::make_chunk() {
  const u64 s = buckets_per_chunk_;
  auto *chunk = static_cast<Bucket *>(heap_alloc(s * sizeof(Bucket)));
  Node *nodes;
  try {
    nodes = pool_->take(s);
  } catch (...) {
    heap_free(chunk);
    throw;
  }
  init_chunk(chunk, s, nodes);
  return chunk;
}

void ConcurrentHashMap_pointer::free_fresh_chunk(Bucket *chunk) noexcept {
  for (u64 i = 0; i < buckets_per_chunk_; ++i)
    pool_->release(reinterpret_cast<Node *>(chunk[i].entries.first), 1);
  heap_free(chunk);
}

void ConcurrentHashMap_pointer::expand(u64 n) {
  if (table_ == nullptr) throw empty_chunks_exception();
  const u64 s = buckets_per_chunk_;
  // Counts this participant out on every way out, exceptions included.
  struct Finish {
    ConcurrentHashMap_pointer *map;
    u64 n;
    ~Finish() {
      if (map->finish(n)) map->clear_forwards(n);
    }
  } out{this, n};

  u64 expected = 0;
  if (word(table_[n]).compare_exchange_strong(expected, claim_marker, std::memory_order_seq_cst)) {
    // Leader: make the new half, then publish it, slot n last.
    std::vector<Bucket *> made;
    try {
      made.reserve(n);
      for (u64 i = n; i < 2 * n; ++i) made.push_back(make_chunk());
    } catch (...) {
      for (Bucket *c : made) free_fresh_chunk(c);
      word(table_[n]).exchange(0, std::memory_order_seq_cst);  // withdraw the claim
      throw;
    }
    word(*migration_cursor_).store(static_cast<std::int64_t>(s * n - 1), std::memory_order_seq_cst);
    for (u64 i = 2 * n; i-- > n;)
      word(table_[i]).exchange(reinterpret_cast<u64>(made[i - n]), std::memory_order_seq_cst);
  } else {
    for (;;) {
      const u64 v = word(table_[n]).load(std::memory_order_seq_cst);
      if (v == 0) return;  // the claim was withdrawn
      if (v != claim_marker) break;
      sleep_once();
    }
  }

  for (;;) {
    const std::int64_t a = word(*migration_cursor_).fetch_sub(migration_batch, std::memory_order_seq_cst);
    if (a < 0) break;
    const u64 hi = static_cast<u64>(a);
    const u64 lo = hi >= migration_batch - 1 ? hi - (migration_batch - 1) : 0;
    for (u64 f = lo; f <= hi; ++f) move_bucket(f, n);
  }
}

// Move the entries of old bucket f whose hash has bit s*n set into its twin
// f + s*n, keeping their order in both buckets. Entries move as their three
// words; no reference count changes. Old keeps all its nodes.
void ConcurrentHashMap_pointer::move_bucket(u64 f, u64 n) {
  const u64 split = buckets_per_chunk_ * n;
  Bucket *old = bucket_at(f);
  Bucket *twin = bucket_at(f + split);
  // Marked before the lock is taken: an insert that holds the bucket now
  // still lands its entry here, and this move then carries it along.
  word(old->forward).exchange(reinterpret_cast<u64>(twin), std::memory_order_seq_cst);
  spin_lock_sleeping(old->lock);
  Locked locked(old, nullptr);
  ChunkList &from = old->entries;
  ChunkList &to = twin->entries;
  if (from.first == 0 || to.first == 0) throw empty_chunks_exception();
  const u64 t = from.count;
  if (t == 0) return;
  auto moves = [split](const PointerEntry *e) { return (static_cast<u64>(e->hash) & split) != 0; };

  u64 k = 0;
  {
    EntryCursor cur(from);
    for (;;) {
      k += moves(cur.entry());
      if (cur.at_last()) break;
      cur.advance();
    }
  }
  if (k == 0) return;

  // Nodes the twin lacks. A move cannot be abandoned half done (once the
  // table doubles, entries left behind would be lost), so it waits for
  // memory rather than fail; nothing has changed yet while it waits.
  const u64 room = to.links * 2 - to.count;
  const u64 need = k > room ? ceil_half(k - room) : 0;
  Node *fresh = nullptr;
  while (need > 0) {
    try {
      fresh = pool_->take(need);
      break;
    } catch (const std::runtime_error &) {
      sleep_once();
    }
  }

  // The twin's node that holds its last entry (its first node while empty).
  Node *tail = reinterpret_cast<Node *>(to.first);
  for (u64 i = 0; to.count > 0 && i < (to.count - 1) / 2; ++i) tail = tail->next;

  // One pass: moving entries are appended to the twin; staying ones are
  // packed towards the front of old (the write position never passes the
  // read position, so nothing unread is overwritten).
  EntryCursor read(from);
  Node *wnode = reinterpret_cast<Node *>(from.first);
  u64 w = 0;
  for (;;) {
    PointerEntry *e = read.entry();
    if (moves(e)) {
      const u64 d = to.count;
      if (d > 0 && d % 2 == 0) {
        if (d / 2 == to.links) {
          tail->next = fresh;
          fresh = fresh->next;
          to.links += 1;
        }
        tail = tail->next;
      }
      tail->area[d % 2] = *e;
      to.count = d + 1;
    } else {
      if (w > 0 && w % 2 == 0) wnode = wnode->next;
      PointerEntry *dst = wnode->area + w % 2;
      if (dst != e) *dst = *e;
      ++w;
    }
    if (read.at_last()) break;
    read.advance();
  }
  // Clear the vacated slots: no slot past the count names an object.
  Node *c = reinterpret_cast<Node *>(from.first);
  for (u64 i = 0; i < t; ++i) {
    if (i > 0 && i % 2 == 0) c = c->next;
    if (i >= w) c->area[i % 2] = PointerEntry{};
  }
  from.count = w;
}

void ConcurrentHashMap_pointer::clear_forwards(u64 n) noexcept {
  // Runs after the doubling, without a bucket lock: only this expansion's
  // marks are cleared (a later expansion's marks name other twins).
  const u64 split = buckets_per_chunk_ * n;
  try {
    for (u64 f = 0; f < split; ++f) {
      Bucket *old = bucket_at(f);
      u64 expected = reinterpret_cast<u64>(bucket_at(f + split));
      word(old->forward).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
    }
  } catch (...) {
    // A damaged table: the marks stay, and inserts into those buckets wait
    // rather than store entries where they would be lost.
  }
}

void python_expansion_helper_pointer(const std::string &name, unsigned long long target_length) {
  std::string n = name;
  ConcurrentHashMap_pointer map(n, 2, 2);
  if (const u64 n = map.join_for_target(target_length)) map.expand(n);
}

// ---- diagnostics --------------------------------------------------------------------------------

std::uint64_t ConcurrentHashMap_pointer::pool_free_nodes() const noexcept {
  return pool_->size();
}

std::uint64_t ConcurrentHashMap_pointer::heap_blocks() noexcept {
  return heap_block_count();
}

ConcurrentHashMap_pointer::BucketView ConcurrentHashMap_pointer::bucket_view(long long hash) {
  if (table_ == nullptr) throw empty_chunks_exception();
  for (;;) {
    const u64 n = bucket_chunks_in_use();
    Bucket *b = bucket_at(static_cast<u64>(hash) & (buckets_per_chunk_ * n - 1));
    spin_lock_sleeping(b->lock);
    Locked locked(b, nullptr);
    if (bucket_chunks_in_use() != n) continue;
    BucketView v{b->entries.count, b->entries.links, {}};
    if (v.count == 0) return v;
    EntryCursor cur(b->entries);
    for (;;) {
      v.keys.push_back(cur.entry()->key);
      if (cur.at_last()) break;
      cur.advance();
    }
    return v;
  }
}

ConcurrentHashMap_pointer::TableCheck ConcurrentHashMap_pointer::check() {
  TableCheck r{true, {}, 0, 0};
  auto fail = [&r](std::string why) {
    if (r.ok) r.problem = std::move(why);
    r.ok = false;
  };
  if (table_ == nullptr) {
    fail("no table");
    return r;
  }
  const u64 n = bucket_chunks_in_use();
  const u64 s = buckets_per_chunk_;
  const u64 total = s * n;
  if (n > bucket_chunk_number_) fail("more chunks in use than the table holds");
  for (u64 i = n; i < bucket_chunk_number_; ++i)
    if (table_[i] != 0) fail("table slot " + std::to_string(i) + " beyond the chunks in use is not empty");
  for (u64 f = 0; f < total && r.ok; ++f) {
    Bucket *b = bucket_at(f);
    const ChunkList &l = b->entries;
    const std::string where = "bucket " + std::to_string(f) + ": ";
    if (b->lock != 0) fail(where + "locked");
    if (b->forward != 0) fail(where + "forward mark left");
    if (l.per_link != 2) fail(where + "entries per node is not 2");
    if (l.links < std::max<u64>(1, ceil_half(l.count))) fail(where + "fewer nodes than entries need");
    Node *node = reinterpret_cast<Node *>(l.first);
    for (u64 q = 0; q < l.links && r.ok; ++q, node = node->next) {
      if (node == nullptr) {
        fail(where + "node chain shorter than its count");
        break;
      }
      if (node->area != node->slots) fail(where + "node's entry area is not its own");
      ++r.nodes;
      for (u64 slot = 0; slot < 2; ++slot) {
        const PointerEntry &e = node->slots[slot];
        if (2 * q + slot < l.count) {
          if (e.key == nullptr || e.value == nullptr) fail(where + "entry without an object");
          if ((static_cast<u64>(e.hash) & (total - 1)) != f) fail(where + "entry in the wrong bucket");
          ++r.entries;
        } else if (e.key != nullptr || e.value != nullptr) {
          fail(where + "slot past the count names an object");
        }
      }
    }
  }
  if (r.ok && r.entries != entry_count())
    fail("entry_count " + std::to_string(entry_count()) + " but " + std::to_string(r.entries) + " entries stored");
  return r;
}

}  // namespace fennowick
