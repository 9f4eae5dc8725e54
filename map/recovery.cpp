// Surviving the death of a process: the map's records and their recovery.
//
// Every view of a map owns one registry slot (shm/registry.hpp), and every
// lock word it takes names that slot. What a view does to shared state while
// it holds a bucket lock, or a place in an expansion, is described by its
// slot's OpRecord, so that when the view's process dies at any instruction a
// survivor can bring every structure to the state it would have had if the
// operation had either completed or never started.
//
// The rule that makes this work: under a bucket lock, nothing visible to
// others changes before the record names the operation, and the record holds
// what is needed to finish it. Work that others cannot see (building a new
// string in chunks the view took from its cache, filling entry slots past the
// bucket's count) happens before. A view has one record, so its threads take
// the view's lane (a process-local lock) around each such critical section.
//
// The operations (count = the bucket's entry count, t = its value when the
// record was made):
//  - insert of a new key (op_insert): the entry is written into the slot past
//    the count, a node linked behind the last one if needed (an extra node is
//    a valid state), then the count is raised: that single store commits.
//    Recovery only settles the slot's count (below).
//  - replace (op_replace): the new value is written into fresh chunks; the
//    record takes the entry and both chains; then the entry's value list is
//    switched; then the record is cleared; only then does the old chain go.
//    Recovery switches to the new chain (whole) and frees the old one, so a
//    value is never torn: a reader sees the old or the new value.
//  - remove (op_remove, a[0] = index i of the match, a[1] = t, a[2..5] = its
//    key and value chains): the last entry is copied over entry i, the count
//    lowered to t - 1, the last slot cleared, surplus nodes trimmed; the
//    record is cleared before the chains go. Slot t - 1 is only cleared after
//    the count is lowered, so recovery can redo the copy from it while the
//    count still reads t, then lower the count, clear the slot, and free the
//    removed entry's chains.
//  - move of a bucket by an expansion (op_move; expansion.cpp): phase 1
//    appends the moving entries to the twin past its count and raises the
//    twin's count (commit of phase 1; the old bucket is untouched so far);
//    phase 2 compacts the old bucket in place, the record naming the pair of
//    slots (free, i) before each copy, then lowers the old count and clears
//    the tail. Recovery redoes phase 1 from scratch if its commit is missing
//    (nothing was visible), else resumes phase 2 at the recorded pair: the
//    copy's source lies past the destination and is intact until the count
//    is lowered.
//
// Counts: entry_count in the file cannot be changed exactly once by a process
// that may die between the change and its record of it. So each slot keeps
// its own count_delta, changed only by the slot's owner under its bucket
// lock, and recovery sets it from the record (delta_before plus the change of
// the bucket's count). The map's exact size is the sum of the deltas of every
// slot ever used (a freed slot keeps its delta; the next owner goes on from
// it). entry_count is still raised and lowered as before, for the load check
// and for readers that know nothing of the registry.
//
// Expansion membership (a[] of no use here; exp_* fields): joining and
// leaving change expansion_participants under expansion_lock, and the record
// says which change is under way and the value before it, so a recoverer
// (who then holds that lock in the dead holder's place, nobody else can
// change the word) knows whether it happened. A dead member that was in is
// counted out. Its unfinished batches are found by the done-bitmap of the
// expansion (expansion.cpp) and moved by whoever finishes next.
#include <atomic>
#include <cstring>
#include <vector>

#include "map/string_map.hpp"
#include "map/string_map_detail.hpp"
#include "shm/arena.hpp"
#include "shm/host.hpp"

namespace fennowick {

using namespace string_map_detail;

// ---- views and their slot -----------------------------------------------------

template <int S> void ConcurrentHashMap_string<S>::attach_view() {
  if (!registry_.present()) return;
  registry_.set_map_recovery(&ConcurrentHashMap_string::recover_slot_record, this);
  registry_.attach();
  epoch_ = fork_epoch();
  RegistrySlot *slot = registry_.own_slot();
  if (node_allocator_) node_allocator_->bind(&slot->caches[0], &registry_);
  if (data_allocator_) data_allocator_->bind(&slot->caches[1], &registry_);
  MapSharedWords *w = shared_words();
  const u64 used = holder_slot(registry_.holder()) + 1;
  RegistryLock g(registry_);
  if (word(w->slots_used).load(std::memory_order_seq_cst) == 0) {
    // The first view ever of this registry: entries made before it (a file
    // written before registries existed) are counted in slot 0, whose delta
    // is still 0 and which nobody else can have touched yet.
    auto *first = reinterpret_cast<OpRecord *>(registry_.slot(0)->user);
    const u64 before = ConcurrentHashMap_base<S>::entry_count();
    word(first->count_delta).store(first->count_delta + static_cast<std::int64_t>(before), std::memory_order_seq_cst);
  }
  if (word(w->slots_used).load(std::memory_order_seq_cst) < used) word(w->slots_used).store(used, std::memory_order_seq_cst);
}

// A forked child shares its parent's view object but not its slot: before it
// takes any lock it claims a slot of its own (its inherited caches were
// already forgotten by the fork handler).
template <int S> void ConcurrentHashMap_string<S>::reattach_after_fork() {
  // A thread that was looking at a claim when the parent forked is not here.
  claim_seen_ = ClaimSeen{};
  clock_busy_.store(false, std::memory_order_relaxed);
  if (!registry_.present()) {
    epoch_ = fork_epoch();
    return;
  }
  registry_.forget_after_fork();
  lane_ = 0;
  attach_view();
}

template <int S> u64 ConcurrentHashMap_string<S>::join_for_target_as_view(u64 target) {
  OpScope op(*this);
  return this->join_for_target(target);
}

template <int S> void ConcurrentHashMap_string<S>::lock_bucket(Bucket *b) {
  if (spin_try_lock(b->lock, registry_.holder())) [[likely]] return;
  const u64 v = word(b->lock).load(std::memory_order_relaxed);
  if (!lock_values<u64>::valid(v)) throw_damaged("bucket lock word invalid");
  spin_lock_wait(b->lock, LockWait{registry_.holder(), registry_.present() ? &registry_ : nullptr, true, false});
}

template <int S> std::uint64_t ConcurrentHashMap_string<S>::entry_count() const noexcept {
  const MapSharedWords *w = shared_words();
  if (w == nullptr) return ConcurrentHashMap_base<S>::entry_count();
  u64 used = std::atomic_ref<const u64>(w->slots_used).load(std::memory_order_seq_cst);
  if (used > registry_slots) used = registry_slots;
  std::int64_t sum = 0;
  for (u64 i = 0; i < used; ++i) {
    const auto *r = reinterpret_cast<const OpRecord *>(registry_.slot(static_cast<std::uint32_t>(i))->user);
    sum += std::atomic_ref<const std::int64_t>(r->count_delta).load(std::memory_order_seq_cst);
  }
  return sum < 0 ? 0 : static_cast<u64>(sum);
}

// ---- recovery -------------------------------------------------------------------

template <int S>
void ConcurrentHashMap_string<S>::recover_slot_record(void *self, std::uint32_t holder, RegistrySlot &slot) {
  auto *map = static_cast<ConcurrentHashMap_string *>(self);
  auto &r = *reinterpret_cast<OpRecord *>(slot.user);
  map->recover_record(holder, r);
  map->recover_membership(holder, r);
}

// Give a chain of links and their payloads straight back to the arena (a dead
// view's chunks: its cache is gone with it).
template <int S> void ConcurrentHashMap_string<S>::free_chain(u64 first, u64 links, u64 unit) {
  if (links == 0) return;
  unsigned char *l = link(first);
  check_chain(l, links, unit);
  for (u64 i = 0; i < links; ++i) {
    unsigned char *next = i + 1 < links ? this->base_ + load<u64>(l + 8) : nullptr;
    arena_free_chunk(this->base_, this->base_ + load<u64>(l));
    arena_free_chunk(this->base_, l);
    l = next;
  }
}

template <int S> void ConcurrentHashMap_string<S>::recover_record(std::uint32_t holder, OpRecord &r) {
  const u64 kind = word(r.kind).load(std::memory_order_seq_cst);
  if (kind == op_none) return;
  Bucket *b = bucket_by_offset(r.bucket);
  const u64 mine = lock_values<u64>::of(holder);
  if (word(b->lock).load(std::memory_order_seq_cst) != mine) {
    // The record outlived its lock only if the holder died between the two
    // stores that end an operation; nothing is left to do but the count.
    word(r.kind).store(op_none, std::memory_order_seq_cst);
    return;
  }
  check_bucket(b);
  b->entries.base_scratch = reinterpret_cast<u64>(this->base_);
  ChunkList &entries = b->entries;
  thread_local std::vector<MapEntry *> slots;
  switch (kind) {
    case op_insert:
      // Not committed: the slot past the count may hold the entry's
      // descriptors, perhaps half written. It is cleared (slots past the count
      // hold no strings); the chunks it named stay out of use until an
      // offline repair, since a torn descriptor cannot be trusted to free by.
      if (entries.count == r.count_before && entries.count < entries.links * 2) {
        entry_slots(b, entries.count + 1, slots);
        std::memset(static_cast<void *>(slots[entries.count]), 0, sizeof(MapEntry));
      }
      break;
    case op_replace: {
      auto *e = reinterpret_cast<MapEntry *>(in_arena(this->base_, limit_, r.a[0], sizeof(MapEntry), "record names no entry"));
      e->value.first = r.a[1];
      e->value.count = r.a[2];
      e->value.links = r.a[3];
      e->value.per_link = data_chunk_unit_;
      if (r.a[5] != 0) free_chain(r.a[4], r.a[5], data_chunk_unit_);
      break;
    }
    case op_remove: {
      const u64 i = r.a[0], t = r.a[1];
      if (t == 0 || i >= t) throw_damaged("remove record inconsistent");
      // Slot t - 1 is cleared before any node is trimmed: once the bucket
      // has fewer nodes than t entries need, there is nothing left to clear.
      if (t <= entries.links * 2) {
        entry_slots(b, t, slots);
        if (entries.count == t) {
          if (i != t - 1) std::memcpy(static_cast<void *>(slots[i]), slots[t - 1], sizeof(MapEntry));
          entries.count = t - 1;
        }
        if (entries.count == t - 1) std::memset(static_cast<void *>(slots[t - 1]), 0, sizeof(MapEntry));
      }
      free_chain(r.a[2], r.a[3], data_chunk_unit_);
      free_chain(r.a[4], r.a[5], data_chunk_unit_);
      break;
    }
    case op_move:
      roll_forward_move(b, r);
      break;
    default:
      throw_damaged("operation record of unknown kind");
  }
  const std::int64_t change = static_cast<std::int64_t>(entries.count) - static_cast<std::int64_t>(r.count_before);
  if (kind != op_move) word(r.count_delta).store(r.delta_before + change, std::memory_order_seq_cst);
  word(r.kind).store(op_none, std::memory_order_seq_cst);
  u64 expected = mine;
  word(b->lock).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
}

template <int S> void ConcurrentHashMap_string<S>::recover_membership(std::uint32_t holder, OpRecord &r) {
  const u64 state = word(r.exp_state).load(std::memory_order_seq_cst);
  if (state == exp_out) return;
  u64 &lock = *this->expansion_lock_;
  const u64 mine = lock_values<u64>::of(holder);
  const bool dead_holds_lock = word(lock).load(std::memory_order_seq_cst) == mine;
  // Whether the dead view is counted in. While it holds expansion_lock nobody
  // else changes the count, so the value before its change (a join or a
  // leave) tells whether the change happened.
  bool in = state == exp_in || state == exp_leaving;
  if (dead_holds_lock && state != exp_in)
    in = this->participants() == r.exp_before + (state == exp_joining ? 1 : 0);
  if (in) {
    if (!dead_holds_lock) spin_lock(lock, LockWait{registry_.holder(), &registry_, true, false});
    const u64 p = this->participants();
    if (p > 0) word(*this->expansion_participants_).store(p - 1, std::memory_order_seq_cst);
    word(r.exp_state).store(exp_out, std::memory_order_seq_cst);
    if (!dead_holds_lock) spin_unlock(lock);
  } else {
    word(r.exp_state).store(exp_out, std::memory_order_seq_cst);
  }
  if (dead_holds_lock) {
    u64 expected = mine;
    word(lock).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
  }
}

template void ConcurrentHashMap_string<1>::attach_view();
template void ConcurrentHashMap_string<1>::free_chain(u64, u64, u64);
template void ConcurrentHashMap_string<1>::reattach_after_fork();
template void ConcurrentHashMap_string<1>::lock_bucket(Bucket *);
template u64 ConcurrentHashMap_string<1>::join_for_target_as_view(u64);
template std::uint64_t ConcurrentHashMap_string<1>::entry_count() const noexcept;
template void ConcurrentHashMap_string<1>::recover_slot_record(void *, std::uint32_t, RegistrySlot &);
template void ConcurrentHashMap_string<1>::recover_record(std::uint32_t, OpRecord &);
template void ConcurrentHashMap_string<1>::recover_membership(std::uint32_t, OpRecord &);

}  // namespace fennowick
