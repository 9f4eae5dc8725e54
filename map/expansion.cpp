// Expansion: the table doubles, a bounded slice at a time, with any number
// of participants, any of which may leave or die at any instruction.
//
// Protocol (s = buckets per chunk, n = bucket_chunks_in_use when it starts):
//  1. Join. A caller takes expansion_lock and counts itself in only while at
//     most 4096 are in and the table has room to double (2n <= capacity).
//     Because joining and the doubling both happen under expansion_lock, a
//     participant always works on the expansion of the n it reads after
//     counting in. The count is only a figure: an expansion ends when all its
//     buckets have moved, not when its participants have left, so one that
//     leaves after a slice, or dies counted in, holds nobody up (recovery
//     counts the dead out, recovery.cpp).
//  2. Claim. Compare-and-swap of table slot n from 0 to the marker 1; the
//     winner leads and records itself (holder id and n) in the registry
//     header. It makes only chunk n (bucket memory, not yet initialised), a
//     done-bitmap of one bit per batch of 16 old buckets (word 0 holds n),
//     sets migration_cursor to s*n - 1 and publishes chunk n by
//     compare-and-swap from the marker. Chunks n+1..2n-1 are made later, one
//     at a time under expansion_lock, by whoever first moves a bucket whose
//     twin lies in one; a slot is set once, to a whole block. If the leader
//     cannot get the memory it withdraws the claim (slot n back to 0).
//  3. Wait. A caller doing a slice returns at once while slot n holds the
//     marker; one that must see the expansion through sleeps. A claim whose
//     recorded claimant has died, or with no claimant recorded for n while
//     the looker saw that same claim for two seconds (each claimant raises
//     the claims count before it claims, and a looker keeps its two seconds
//     for one count), is withdrawn by any helper, slice,
//     insert or remove that meets it: the record is cleared by compare-and-
//     swap from what was read (a claimant recording itself meanwhile keeps
//     its claim), then slot n goes back to 0 and anyone may claim. A
//     claimant that gives up, or whose publication fails, clears its own
//     record, so a record names a live process only while it leads n.
//     A helper works on the n its join counted it in at, never on one read
//     later (a doubling it did not join).
//  4. Move. Batches of 16 old buckets are claimed by fetch-and-subtract on
//     migration_cursor, up to 16 batches at a time (fewer in a slice); a
//     batch done sets its bit. Moving bucket f takes f's
//     lock; if f does not carry this expansion's mark yet, the mover
//     initialises the twin f + s*n (no one can reach it before the mark) and
//     then sets f's forward word to it. Then it moves every entry whose hash
//     has bit s*n set into the twin, keeping order in both, under an
//     operation record (recovery.cpp). Only descriptors move. Moving a bucket
//     again finds the mark and nothing to move, so once the cursor is spent a
//     participant moves any batch whose bit is still clear: the batches of a
//     participant that died, or one that is slow, are finished by whoever
//     comes by.
//  5. Slices. An insert or remove that finds an expansion published, or an
//     insert that lifts the load above two entries per bucket, joins, moves
//     at most slice_batches batches and leaves: no operation does more than
//     a bounded part of a doubling, and an expansion left half-done stays
//     correct (lookups follow marks into twins) until later operations, or
//     the expansion helpers, which stay until the end, finish it.
//  6. Finish. Under expansion_lock the participant counts itself out; then,
//     once the cursor is spent, under the same lock, whoever finds every bit
//     set doubles n and records clear_n = 2n in the registry header. The
//     marks are then cleared in batches claimed by clearing the batch's bit
//     in the bitmap (fetch-and-and), each mark by compare-and-swap from its
//     own twin offset so that a mark of the next expansion (which may start
//     at once) is never wiped; slices clear a bounded number of batches,
//     helpers all of them, and the last finder of no bits left resets
//     clear_n. Marks left behind by a dying clearer, or when the next
//     expansion takes the bitmap's place, are stale: operations that meet
//     them clear them (inserts) or merely search one bucket too many.
// Lookups, removals and inserts holding a bucket whose forward word is set
// also lock the twin (always the higher index): lookups and removals search
// both; an insert whose hash has bit s*n set puts a new key into the twin,
// after making sure the key is not still in the bucket (a move rolled back
// by recovery leaves it there until moved again). Every operation re-checks
// n after locking, so that no entry is missed while it moves.
#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "map/string_map.hpp"
#include "shm/arena.hpp"
#include "shm/crash_point.hpp"
#include "shm/host.hpp"
#include "shm/spin_lock.hpp"

#include "map/string_map_detail.hpp"

namespace fennowick {

using namespace string_map_detail;
using abi_forced_unwind = abi::__forced_unwind;

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

template <int S> u64 ConcurrentHashMap_base<S>::join_for_load() noexcept {
  SpinGuard<u64> g(*expansion_lock_);
  const u64 n = bucket_chunks_in_use();
  if (n == 0 || !over_load(n)) return 0;
  if (participants() > max_participants) return 0;
  if (2 * n > bucket_chunk_number_) return 0;
  count_in(n);
  return n;
}

template <int S> u64 ConcurrentHashMap_base<S>::join_for_target(u64 target) noexcept {
  SpinGuard<u64> g(*expansion_lock_);
  const u64 n = bucket_chunks_in_use();
  if (n == 0 || n >= target) return 0;
  if (participants() > max_participants) return 0;
  if (2 * n > bucket_chunk_number_) return 0;
  count_in(n);
  return n;
}

template <int S> void ConcurrentHashMap_base<S>::count_in(u64 n) noexcept {
  const u64 p = participants();
  note_membership(exp_joining, p, n);
  word(*expansion_participants_).fetch_add(1, std::memory_order_seq_cst);
  note_membership(exp_in, p, n);
}

template <int S> void ConcurrentHashMap_base<S>::count_out(u64 n) noexcept {
  const u64 p = participants();
  note_membership(exp_leaving, p, n);
  if (p > 0) word(*expansion_participants_).store(p - 1, std::memory_order_seq_cst);
  FENNOWICK_CRASH_POINT();
  note_membership(exp_out, p, n);
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
  if (const u64 n = join_for_target(~u64{0})) expand(n);
}

template class ConcurrentHashMap_base<1>;
template class ConcurrentHashMap_base<0>;

// ---- the string map's expansion ---------------------------------------------------------

namespace {
constexpr u64 batch_count(u64 buckets) { return (buckets + migration_batch - 1) / migration_batch; }
// The bits of bitmap word wi that stand for batches (all but in the last word).
constexpr u64 batch_bits(u64 batches, u64 wi) {
  return batches - wi * 64 >= 64 ? ~u64{0} : (u64{1} << (batches - wi * 64)) - 1;
}
}  // namespace

template <int S> void ConcurrentHashMap_string<S>::note_membership(u64 state, u64 before, u64 n) noexcept {
  OpRecord *r = record();
  if (r == nullptr) return;
  r->exp_before = before;
  r->exp_n = n;
  word(r->exp_state).store(state, std::memory_order_seq_cst);
  FENNOWICK_CRASH_POINT();
}

// The done-bitmap of the expansion of n, made if missing (by the leader, or
// by a participant of an expansion that a version without bitmaps started).
// Null when there is no registry to find it by.
template <int S> u64 *ConcurrentHashMap_string<S>::bitmap_for(u64 n, bool make) {
  MapSharedWords *w = shared_words();
  if (w == nullptr) return nullptr;
  const u64 words = (batch_count(this->buckets_per_chunk_ * n) + 63) / 64;
  for (;;) {
    u64 off = word(w->bitmap).load(std::memory_order_seq_cst);
    if (off != 0) {
      if (off % 8 != 0) throw_damaged("expansion bitmap misaligned");
      u64 *bits = in_arena<u64>(this->base_, limit_, off, 8, "expansion bitmap out of range");
      const u64 of = word(bits[0]).load(std::memory_order_seq_cst);
      if (of == n) return in_arena<u64>(this->base_, limit_, off, 8 * (words + 1), "expansion bitmap out of range");
      if (of > n) return nullptr;  // a later expansion's: never replaced by a latecomer's
    }
    if (!make) return nullptr;
    void *block = arena_alloc_block(this->base_, 8 * (words + 1));
    if (block == nullptr) throw std::runtime_error(last_error() ? last_error() : "out of memory");
    auto *bits = static_cast<u64 *>(block);
    std::memset(bits + 1, 0, 8 * words);
    word(bits[0]).store(n, std::memory_order_seq_cst);
    u64 expected = off;
    if (word(w->bitmap).compare_exchange_strong(expected, offset_of(this->base_, bits), std::memory_order_seq_cst))
      return bits;
    // another made one at the same time: use theirs (this block stays unused)
  }
}

template <int S> bool ConcurrentHashMap_string<S>::batch_done(u64 n, u64 batch) {
  u64 *bits = bitmap_for(n, false);
  return bits && (word(bits[1 + batch / 64]).load(std::memory_order_seq_cst) >> (batch % 64) & 1);
}

template <int S> void ConcurrentHashMap_string<S>::mark_batch(u64 n, u64 batch) {
  // A latecomer of an expansion that has already doubled marks nothing: a
  // bitmap made for its n would take the place of the one under way.
  if (this->bucket_chunks_in_use() != n) return;
  if (u64 *bits = bitmap_for(n, true)) word(bits[1 + batch / 64]).fetch_or(u64{1} << (batch % 64), std::memory_order_seq_cst);
  FENNOWICK_CRASH_POINT();
}

template <int S> bool ConcurrentHashMap_string<S>::all_batches_done(u64 n) {
  u64 *bits = bitmap_for(n, false);
  if (bits == nullptr) return false;
  const u64 batches = batch_count(this->buckets_per_chunk_ * n);
  for (u64 wi = 0; wi * 64 < batches; ++wi) {
    const u64 want = batch_bits(batches, wi);
    if ((word(bits[1 + wi]).load(std::memory_order_seq_cst) & want) != want) return false;
  }
  return true;
}

// Under expansion_lock: double n once every batch has moved. True when this
// call doubled.
template <int S> bool ConcurrentHashMap_string<S>::try_double(u64 n) {
  SpinGuard<u64> g(*this->expansion_lock_);
  if (this->bucket_chunks_in_use() != n || n >= this->bucket_chunk_number_) return false;
  if (word(this->table_[n]).load(std::memory_order_seq_cst) <= claim_marker) return false;
  if (registry_.present() ? !all_batches_done(n) : this->participants() != 0) return false;
  word(*this->bucket_chunks_in_use_).store(2 * n, std::memory_order_seq_cst);
  FENNOWICK_CRASH_POINT();
  return true;
}

template <int S> void ConcurrentHashMap_string<S>::move_batch_range(u64 batch, u64 n) {
  const u64 total = this->buckets_per_chunk_ * n;
  const u64 lo = batch * migration_batch;
  const u64 hi = lo + migration_batch - 1 < total - 1 ? lo + migration_batch - 1 : total - 1;
  for (u64 f = lo; f <= hi; ++f) move_bucket(f, n);
  mark_batch(n, batch);
}

// A claim marker in slot n. The claimant's part is short, so the marker is
// left be unless the claimant recorded with it has died, or no claimant has
// been recorded for n while this view saw the marker for two seconds (one
// that died between its claim and its record). Withdrawing clears the record
// first, by compare-and-swap from what was read, so that a claimant who
// records itself meanwhile keeps its claim (one that stalls two seconds
// between the two words of its record may lose it, and its chunk stays
// unused); then slot n goes back to 0 for anyone to claim. A claimant that gives up, or whose publication fails,
// clears its own record (drop_own_record): a record names a live claimant
// only while that claimant leads n, so no one waits on a live process that
// has long stopped leading.
template <int S> void ConcurrentHashMap_string<S>::look_at_claim(u64 n) {
  MapSharedWords *w = shared_words();
  if (w == nullptr) return;
  u64 leader = word(w->leader).load(std::memory_order_seq_cst);
  const u64 leader_n = word(w->leader_n).load(std::memory_order_seq_cst);
  if (leader != 0 && leader_n == n) {
    const Liveness l = registry_.liveness(static_cast<std::uint32_t>(leader));
    if (l != Liveness::dead && l != Liveness::gone) return;
  } else {
    // The two seconds are kept for one claim: every claimant raises the
    // claims count before its claim, so a marker of a later claim (the one
    // seen gone, by any means, and slot n claimed again) starts them anew.
    if (clock_busy_.exchange(true, std::memory_order_acquire)) return;  // another thread of this view looks
    const u64 claims = word(w->claims).load(std::memory_order_seq_cst);
    const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    ClaimSeen &seen = claim_seen_;
    const bool same = seen.n == n && seen.claims == claims;
    if (!same) seen = ClaimSeen{n, claims, now};
    const bool long_enough =
        same && std::chrono::steady_clock::duration(now - seen.since) >= std::chrono::seconds(2);
    if (long_enough) seen = ClaimSeen{};
    clock_busy_.store(false, std::memory_order_release);
    if (!long_enough) return;
  }
  if (!word(w->leader).compare_exchange_strong(leader, 0, std::memory_order_seq_cst)) return;  // recorded meanwhile
  FENNOWICK_CRASH_POINT();
  u64 expected = claim_marker;
  word(this->table_[n]).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
}

template <int S> void ConcurrentHashMap_string<S>::drop_own_record(MapSharedWords *w) noexcept {
  if (w == nullptr) return;
  u64 me = registry_.holder();
  word(w->leader).compare_exchange_strong(me, 0, std::memory_order_seq_cst);
  FENNOWICK_CRASH_POINT();
}

// Counts a participant out on every way out, exceptions included; once the
// cursor is spent, doubles the table when every batch has moved, then clears
// marks (a bounded number for a slice, all of them for a helper).
template <int S> struct ConcurrentHashMap_string<S>::Finish {
  ConcurrentHashMap_string *map;
  u64 n;
  u64 clear_budget;
  ~Finish() noexcept(false) {
    try {
      {
        SpinGuard<u64> g(*map->expansion_lock_);
        map->count_out(n);
      }
      if (word(*map->migration_cursor_).load(std::memory_order_seq_cst) < 0 && map->try_double(n))
        map->after_doubling(n, clear_budget);
    } catch (const abi_forced_unwind &) {
      throw;
    } catch (...) {
      // a damaged file: the next participant finishes
    }
  }
};

// The work of a counted-in participant on the expansion of n: claim or wait,
// then at most `budget` batches (~0: until no batch is left open). A slice
// (finite budget) never waits for a leader.
template <int S> void ConcurrentHashMap_string<S>::participate(u64 n, u64 budget) {
  const u64 s = this->buckets_per_chunk_;
  // Joining checked that the table has room to double; a file whose count
  // changed under the join (it cannot, in a sound map) is refused here.
  if (n == 0 || n > this->bucket_chunk_number_ / 2) throw_damaged("bucket chunks in use out of range");

  for (;;) {
    u64 v = word(this->table_[n]).load(std::memory_order_seq_cst);
    if (v == 0) {
      if (this->bucket_chunks_in_use() != n) return;  // done meanwhile
      if (MapSharedWords *w = shared_words()) word(w->claims).fetch_add(1, std::memory_order_seq_cst);
      u64 expected = 0;
      if (word(this->table_[n]).compare_exchange_strong(expected, claim_marker, std::memory_order_seq_cst)) {
        lead(n);
        continue;  // published (or withdrawn under us): look again
      }
      continue;
    }
    if (v != claim_marker) break;
    // Claimed, not yet published: a slice leaves it be, unless the claimant
    // has died.
    look_at_claim(n);
    if (budget != ~u64{0}) return;
    if (!host::is_finalizing()) host::sleep_wait();
  }
  if (this->bucket_chunks_in_use() != n) return;
  bitmap_for(n, true);

  u64 done = 0;
  while (done < budget) {
    // Several batches per claim: two participants that took alternate
    // batches would both touch (and take page faults on) every page of the
    // old and the new buckets.
    const u64 take = std::min<u64>(budget - done, claim_batches);
    const std::int64_t a =
        word(*this->migration_cursor_).fetch_sub(static_cast<std::int64_t>(take * migration_batch), std::memory_order_seq_cst);
    if (a < 0) break;
    // Doubled meanwhile: that was the next expansion's cursor. The batches
    // taken from it stay clear in its bitmap and are moved by a stealer.
    if (this->bucket_chunks_in_use() != n) return;
    // A follower reads the cursor that the file holds: above the last old
    // bucket it would send moves past the table.
    if (static_cast<u64>(a) >= s * n) throw_damaged("migration cursor out of range");
    for (u64 j = 0; j < take && static_cast<u64>(a) >= j * migration_batch; ++j)
      move_batch_range((static_cast<u64>(a) - j * migration_batch) / migration_batch, n);
    done += take;
  }
  if (done == budget) return;
  // The cursor is spent: move batches still open (those of the dead and the
  // slow; a bucket moved twice finds nothing to move), starting where this
  // view last looked.
  const u64 batches = batch_count(s * n);
  u64 *bits = bitmap_for(n, false);
  if (bits == nullptr) return;
  const u64 words = (batches + 63) / 64;
  u64 start = steal_hint_.load(std::memory_order_relaxed) % words;
  for (u64 i = 0; i < words && done < budget; ++i) {
    const u64 wi = (start + words - i) % words;  // downwards, as the cursor went
    u64 open = ~word(bits[1 + wi]).load(std::memory_order_seq_cst) & batch_bits(batches, wi);
    while (open != 0 && done < budget) {
      if (this->bucket_chunks_in_use() != n) return;
      const u64 bit = 63 - static_cast<u64>(std::countl_zero(open));
      open &= ~(u64{1} << bit);
      move_batch_range(wi * 64 + bit, n);
      ++done;
    }
    steal_hint_.store(wi, std::memory_order_relaxed);
  }
}

// A helper's whole part: it returns when the expansion of n is complete (the
// caller has counted itself in at n).
template <int S> void ConcurrentHashMap_string<S>::expand(u64 n) {
  OpScope op(*this);
  Finish out{this, n, ~u64{0}};
  for (;;) {
    participate(n, ~u64{0});
    if (this->bucket_chunks_in_use() != n) {
      // Doubled by another: help clear its marks.
      if (MapSharedWords *w = shared_words(); w && word(w->clear_n).load(std::memory_order_seq_cst) == 2 * n)
        clear_slice(2 * n, ~u64{0});
      return;
    }
    // Every batch is taken and none open: the last movers are finishing.
    if (word(*this->migration_cursor_).load(std::memory_order_seq_cst) < 0 && try_double(n)) {
      after_doubling(n, ~u64{0});
      return;
    }
    if (!host::is_finalizing()) host::sleep_wait();
  }
}

// One slice of the expansion of n by an operation that has done its own
// work: join (for_load: only if the load calls for an expansion), move at
// most slice_batches batches, leave.
template <int S> void ConcurrentHashMap_string<S>::expand_slice(u64 n, bool for_load) {
  OpScope op(*this);
  {
    SpinGuard<u64> g(*this->expansion_lock_);
    if (this->bucket_chunks_in_use() != n || 2 * n > this->bucket_chunk_number_) return;
    if (this->participants() > max_participants) return;
    if (for_load && !this->over_load(n)) return;
    this->count_in(n);
  }
  Finish out{this, n, slice_batches};
  participate(n, slice_batches);
}

// After an insert (appended: into a bucket that held entries) or a remove:
// a slice of the expansion under way, or of the one the load calls for, or
// of the marks a doubling left. The operation itself has succeeded, so a
// slice that fails (no memory for a chunk) is not its failure: the
// expansion stays as it is, correct, for later operations to finish.
template <int S> void ConcurrentHashMap_string<S>::after_write(bool appended) {
  try {
    const u64 n = this->bucket_chunks_in_use();
    if (n != 0 && 2 * n <= this->bucket_chunk_number_) {
      const u64 v = word(this->table_[n]).load(std::memory_order_seq_cst);
      if (v > claim_marker) return expand_slice(n, false);
      if (v == 0 && appended && this->over_load(n)) return expand_slice(n, true);
      // A claim whose claimant died is withdrawn by operations too, not
      // only by the helpers: the table would stop growing until one came.
      if (v == claim_marker) return look_at_claim(n);
    }
    if (MapSharedWords *w = shared_words(); w && word(w->clear_n).load(std::memory_order_relaxed) == n)
      clear_slice(n, slice_batches);
  } catch (const abi_forced_unwind &) {
    throw;
  } catch (...) {
  }
}

// Right after this participant doubled the table from n.
template <int S> void ConcurrentHashMap_string<S>::after_doubling(u64 n, u64 budget) noexcept {
  MapSharedWords *w = shared_words();
  if (w == nullptr) return clear_forwards(n);  // no bitmap to share the clearing by
  word(w->clear_n).store(2 * n, std::memory_order_seq_cst);
  FENNOWICK_CRASH_POINT();
  clear_slice(2 * n, budget);
}

// Clears the marks of at most `budget` batches of the expansion that doubled
// the table to doubled_n, each batch claimed by clearing its bit.
template <int S> void ConcurrentHashMap_string<S>::clear_slice(u64 doubled_n, u64 budget) noexcept {
  try {
    MapSharedWords *w = shared_words();
    if (w == nullptr || doubled_n < 2 || doubled_n % 2 != 0) return;
    const u64 n = doubled_n / 2, s = this->buckets_per_chunk_;
    u64 *bits = bitmap_for(n, false);
    if (bits == nullptr) {  // the next expansion's bitmap took its place: what is left is stale
      u64 expected = doubled_n;
      word(w->clear_n).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
      return;
    }
    const u64 batches = batch_count(s * n), words = (batches + 63) / 64;
    const u64 start = clear_hint_.load(std::memory_order_relaxed) % words;
    u64 done = 0;
    for (u64 i = 0; i < words; ++i) {
      const u64 wi = (start + i) % words;
      for (;;) {
        if (done == budget) {
          clear_hint_.store(wi, std::memory_order_relaxed);
          return;
        }
        const u64 v = word(bits[1 + wi]).load(std::memory_order_seq_cst);
        if (v == 0) break;
        // A whole word's batches at once when the budget allows (clearers
        // that took alternate batches would all touch every page), else
        // one batch.
        u64 mine;
        if (budget - done >= 64) {
          mine = word(bits[1 + wi]).exchange(0, std::memory_order_seq_cst);
        } else {
          const u64 bit = u64{1} << std::countr_zero(v);
          mine = word(bits[1 + wi]).fetch_and(~bit, std::memory_order_seq_cst) & bit;
        }
        FENNOWICK_CRASH_POINT();
        for (; mine != 0; mine &= mine - 1) {
          const u64 batch = wi * 64 + static_cast<u64>(std::countr_zero(mine));
          if (batch >= batches) continue;
          const u64 hi = std::min(batch * migration_batch + migration_batch, s * n);
          for (u64 f = batch * migration_batch; f < hi; ++f) {
            Bucket *old = bucket_at(f);
            u64 expected = offset_of(this->base_, bucket_at(f + s * n));
            word(old->forward).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
            FENNOWICK_CRASH_POINT();
          }
          ++done;
        }
      }
    }
    // No bit left: every batch is cleared or being cleared.
    u64 expected = doubled_n;
    word(w->clear_n).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
  } catch (...) {
    // a damaged table slot: marks stay, and are treated as stale
  }
}

// The leader's part: make chunk n and the bitmap, set the cursor, publish.
// Slot n holds the marker on entry. The other chunks of the new half are made
// by the movers as they need them (twin_chunk), so that no one allocates the
// whole half alone.
template <int S> void ConcurrentHashMap_string<S>::lead(u64 n) {
  const u64 s = this->buckets_per_chunk_;
  MapSharedWords *w = shared_words();
  if (w != nullptr) {
    // The holder first: one who reads it with the n of an earlier claim
    // takes the claim for unrecorded and gives it two seconds, never the
    // holder of an earlier claim for this one's.
    word(w->leader).store(registry_.holder(), std::memory_order_seq_cst);
    word(w->leader_n).store(n, std::memory_order_seq_cst);
  }
  FENNOWICK_CRASH_POINT();
  u64 made = 0;
  try {
    void *block = arena_alloc_block(this->base_, s * sizeof(Bucket));
    if (block == nullptr) throw std::runtime_error(last_error() ? last_error() : "out of memory");
    made = offset_of(this->base_, block);
    bitmap_for(n, true);
  } catch (...) {
    drop_own_record(w);
    u64 expected = claim_marker;
    word(this->table_[n]).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);  // withdraw
    throw;
  }
  word(*this->migration_cursor_).store(static_cast<std::int64_t>(s * n - 1), std::memory_order_seq_cst);
  FENNOWICK_CRASH_POINT();
  u64 expected = claim_marker;
  if (!word(this->table_[n]).compare_exchange_strong(expected, made, std::memory_order_seq_cst)) {
    // Withdrawn under us (taken for dead or unrecorded) and perhaps claimed
    // again: the other claimant leads, and this chunk stays unused.
    drop_own_record(w);
  }
  FENNOWICK_CRASH_POINT();
}

// Makes chunk `chunk` (n < chunk < 2n) of the expansion of n if no one has:
// under expansion_lock, so that the slot is set once, to a whole block. Its
// buckets are initialised one by one as their old buckets are moved.
template <int S> void ConcurrentHashMap_string<S>::twin_chunk(u64 n, u64 chunk) {
  if (chunk <= n || chunk >= 2 * n || chunk >= this->bucket_chunk_number_) return;
  if (word(this->table_[chunk]).load(std::memory_order_seq_cst) > claim_marker) return;
  SpinGuard<u64> g(*this->expansion_lock_);
  if (word(this->table_[chunk]).load(std::memory_order_seq_cst) > claim_marker) return;
  if (this->bucket_chunks_in_use() != n) return;  // doubled: the chunk was made
  void *block = arena_alloc_block(this->base_, this->buckets_per_chunk_ * sizeof(Bucket));
  if (block == nullptr) throw std::runtime_error(last_error() ? last_error() : "out of memory");
  FENNOWICK_CRASH_POINT();
  word(this->table_[chunk]).store(offset_of(this->base_, block), std::memory_order_seq_cst);
  FENNOWICK_CRASH_POINT();
}

// Addresses of a bucket's first t entry slots, which may reach past its
// count (a move being finished), never past its nodes.
template <int S> void ConcurrentHashMap_string<S>::entry_slots(Bucket *b, u64 t, std::vector<MapEntry *> &out) {
  out.resize(t);
  if (t == 0) return;
  if (t > b->entries.links * 2) throw_damaged("bucket has fewer nodes than entries");
  unsigned char *l = node_link(b->entries.first);
  for (u64 i = 0;; ++i) {
    out[i] = reinterpret_cast<MapEntry *>(node_payload(l) + sizeof(MapEntry) * (i % 2));
    if (i + 1 == t) break;
    if (i % 2 == 1) l = node_link(load<u64>(l + 8));
  }
}

// Phase 2 of a move: close the gaps that the moved entries left in old,
// from the pair (free, i) on. The record, when given, names each pair before
// its copy; the source slot i lies past free and stays whole until the count
// is lowered, so the copy can always be redone.
template <int S>
void ConcurrentHashMap_string<S>::compact_from(Bucket *old, OpRecord *r, u64 split, u64 t, u64 free_slot, u64 i,
                                               std::vector<MapEntry *> *known) {
  thread_local std::vector<MapEntry *> walked;
  std::vector<MapEntry *> &slots = known ? *known : walked;
  if (!known) entry_slots(old, t, slots);
  for (; i < t; ++i) {
    if ((static_cast<u64>(slots[i]->hash) & split) != 0) continue;
    // The pair in one word: a survivor must never see the new free slot
    // with the old source, or the other way round.
    if (r) word(r->a[5]).store(free_slot << 32 | i, std::memory_order_release);
    std::memcpy(static_cast<void *>(slots[free_slot]), slots[i], sizeof(MapEntry) / 2);
    FENNOWICK_CRASH_POINT();
    std::memcpy(reinterpret_cast<unsigned char *>(slots[free_slot]) + sizeof(MapEntry) / 2,
                reinterpret_cast<const unsigned char *>(slots[i]) + sizeof(MapEntry) / 2,
                sizeof(MapEntry) - sizeof(MapEntry) / 2);
    FENNOWICK_CRASH_POINT();
    ++free_slot;
  }
  old->entries.count = free_slot;
  FENNOWICK_CRASH_POINT();
  for (u64 j = free_slot; j < t; ++j) {
    std::memset(static_cast<void *>(slots[j]), 0, sizeof(MapEntry));
    FENNOWICK_CRASH_POINT();
  }
}

template <int S> void ConcurrentHashMap_string<S>::roll_forward_move(Bucket *old, OpRecord &r) {
  Bucket *twin = bucket_by_offset(r.a[0]);
  check_bucket(twin);
  const u64 split = r.a[1], t = r.a[2], twin_before = r.a[3], phase = r.a[4], k = r.a[7];
  if (t > old->entries.links * 2 || k > t) throw_damaged("move record inconsistent");
  twin->entries.base_scratch = reinterpret_cast<u64>(this->base_);
  if (phase == 1) {
    // Nothing of old has changed; the twin has them all or none of them.
    if (twin->entries.count == twin_before) return;  // as if never begun: moved again later
    if (old->entries.count != t) throw_damaged("move record inconsistent");
    thread_local std::vector<MapEntry *> slots;
    entry_slots(old, t, slots);
    u64 first = 0;
    while (first < t && (static_cast<u64>(slots[first]->hash) & split) == 0) ++first;
    if (first == t) return;
    compact_from(old, nullptr, split, t, first, first + 1);
    return;
  }
  if (old->entries.count == t) {
    compact_from(old, nullptr, split, t, r.a[5] >> 32, r.a[5] & 0xffffffffu);
  } else {
    // the count was lowered: clear what lies past it again
    thread_local std::vector<MapEntry *> slots;
    entry_slots(old, t, slots);
    for (u64 j = old->entries.count; j < t; ++j) std::memset(static_cast<void *>(slots[j]), 0, sizeof(MapEntry));
  }
}

template <int S> void ConcurrentHashMap_string<S>::move_bucket(u64 f, u64 n) {
  const u64 s = this->buckets_per_chunk_;
  const u64 split = s * n;
  twin_chunk(n, (f + split) / s);
  Bucket *old = bucket_at(f);
  Bucket *twin = bucket_at(f + split);
  const u64 mark = offset_of(this->base_, twin);
  RecordScope rec(*this);
  BucketLock<ConcurrentHashMap_string> guard(*this, old);
  u64 seen = word(old->forward).load(std::memory_order_seq_cst);
  if (seen != mark) {
    // Not split in this expansion yet. A mark of a later expansion means
    // this is a latecomer; so does a table that has doubled (its marks may
    // already be cleared): nothing to do either way.
    if (seen != 0 && !stale_forward(f, this->bucket_chunks_in_use(), seen)) return;
    if (this->bucket_chunks_in_use() != n) return;
    // No one reaches the twin before the mark names it: initialise it, then
    // mark. Only the holder of this lock sets the mark; a clearer of an
    // earlier expansion may take a stale one away meanwhile.
    init_bucket(twin);
    FENNOWICK_CRASH_POINT();
    while (!word(old->forward).compare_exchange_strong(seen, mark, std::memory_order_seq_cst))
      if (seen != 0 && !stale_forward(f, n, seen)) throw_damaged("forward word changed under its bucket's lock");
    FENNOWICK_CRASH_POINT();
  }
  this->check_bucket(old);
  this->check_bucket(twin);
  const u64 scratch = reinterpret_cast<u64>(this->base_);
  old->entries.base_scratch = scratch;
  twin->entries.base_scratch = scratch;
  const u64 t = old->entries.count;
  if (t == 0) return;
  if (t >> 32) throw_damaged("bucket holds more entries than a move can record");

  thread_local std::vector<MapEntry *> slots;
  entry_slots(old, t, slots);
  u64 k = 0, first_moving = t;
  for (u64 i = 0; i < t; ++i) {
    if ((static_cast<u64>(slots[i]->hash) & split) == 0) continue;
    if (k++ == 0) first_moving = i;
  }
  if (k == 0) return;

  // Nodes the twin needs, taken before anything changes.
  ChunkList &tw = twin->entries;
  const u64 room = tw.links * 2 - tw.count;
  const u64 need = k > room ? (k - room + 1) / 2 : 0;
  unsigned char *fresh = nullptr;
  if (need) {
    try {
      fresh = node_allocator_->take_records(need);
    } catch (const std::runtime_error &) {
      move_bucket_stealing(old, twin, split, t, k);
      return;
    }
  }
  const u64 twin_before = tw.count;
  if (OpRecord *r = rec.r) {  // the details first: begin() publishes them
    r->a[0] = offset_of(this->base_, twin);
    r->a[1] = split;
    r->a[2] = t;
    r->a[3] = twin_before;
    r->a[4] = 1;
    r->a[7] = k;
  }
  rec.begin(op_move, this->base_, old);
  // Phase 1: the moving entries go into the twin past its count, in order;
  // raising its count is the commit. Old is not touched. One walk of the
  // twin's chain finds both the node of its first free slot and its last
  // link, behind which the fresh nodes go.
  const u64 first_free_node = twin_before / 2;
  unsigned char *node = nullptr, *tail = node_link(tw.first);
  for (u64 i = 0;; ++i) {
    if (i == first_free_node) node = tail;
    if (i + 1 >= tw.links) break;
    tail = node_link(load<u64>(tail + 8));
  }
  if (fresh) {
    store<u64>(tail + 8, offset_of(this->base_, fresh));
    FENNOWICK_CRASH_POINT();
    tw.links += need;
    FENNOWICK_CRASH_POINT();
    if (node == nullptr) node = fresh;  // the twin's own nodes were full
  }
  {
    u64 dst = twin_before;
    unsigned char *payload_of_node = node_payload(node);
    for (u64 i = 0; i < t; ++i) {
      if ((static_cast<u64>(slots[i]->hash) & split) == 0) continue;
      if (dst > twin_before && dst % 2 == 0) {
        node = node_link(load<u64>(node + 8));
        payload_of_node = node_payload(node);
      }
      auto *to = reinterpret_cast<MapEntry *>(payload_of_node + sizeof(MapEntry) * (dst % 2));
      std::memcpy(static_cast<void *>(to), slots[i], sizeof(MapEntry));
      FENNOWICK_CRASH_POINT();
      ++dst;
    }
  }
  tw.count = twin_before + k;
  FENNOWICK_CRASH_POINT();
  // Phase 2: compact old in place.
  if (OpRecord *r = rec.r) {
    r->a[5] = first_moving << 32 | (first_moving + 1);
    word(r->a[4]).store(2, std::memory_order_seq_cst);
  }
  FENNOWICK_CRASH_POINT();
  compact_from(old, rec.r, split, t, first_moving, first_moving + 1, &slots);
  rec.commit(0);
}

// A move for which the arena has no nodes left: the twin takes the old
// bucket's surplus nodes instead, so that a move never fails for want of
// memory (a participant that gave up half-way would stall the expansion).
// The entries leave old before they reach the twin, so this rare path is
// not covered by the operation record: a process killed in it loses the
// bucket's moving entries.
template <int S>
void ConcurrentHashMap_string<S>::move_bucket_stealing(Bucket *old, Bucket *twin, u64 split, u64 t, u64 k) {
  thread_local std::vector<MapEntry *> slots;
  entry_slots(old, t, slots);
  ChunkList &tw = twin->entries;
  const u64 room = tw.links * 2 - tw.count;
  const u64 need = k > room ? (k - room + 1) / 2 : 0;
  const u64 stay = t - k;
  const u64 keep = stay == 0 ? 1 : (stay + 1) / 2;
  if (old->entries.links < keep + need) throw_damaged("bucket has fewer nodes than entries need");
  thread_local std::vector<MapEntry> moving;
  moving.clear();
  for (u64 i = 0; i < t; ++i)
    if ((static_cast<u64>(slots[i]->hash) & split) != 0) moving.push_back(*slots[i]);
  u64 free_slot = 0;
  for (u64 i = 0; i < t; ++i) {
    if ((static_cast<u64>(slots[i]->hash) & split) != 0) continue;
    if (free_slot != i) std::memcpy(static_cast<void *>(slots[free_slot]), slots[i], sizeof(MapEntry));
    ++free_slot;
  }
  old->entries.count = stay;
  for (u64 j = stay; j < t; ++j) std::memset(static_cast<void *>(slots[j]), 0, sizeof(MapEntry));
  unsigned char *fresh = nullptr;
  if (need) {
    unsigned char *last_kept = node_link(old->entries.first);
    for (u64 i = 1; i < keep; ++i) last_kept = node_link(load<u64>(last_kept + 8));
    fresh = node_link(load<u64>(last_kept + 8));
    unsigned char *last_taken = fresh;
    for (u64 i = 1; i < need; ++i) last_taken = node_link(load<u64>(last_taken + 8));
    store<u64>(last_kept + 8, load<u64>(last_taken + 8));
    old->entries.links -= need;
  }
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
      FENNOWICK_CRASH_POINT();
    } catch (...) {
      // A damaged table slot: that bucket's mark stays, and inserts into it
      // keep waiting rather than store entries where they would be lost. The
      // marks of every other bucket are still cleared.
    }
  }
}

template void ConcurrentHashMap_string<1>::expand(u64);
template void ConcurrentHashMap_string<1>::move_bucket(u64, u64);
template void ConcurrentHashMap_string<1>::roll_forward_move(Bucket *, OpRecord &);
template void ConcurrentHashMap_string<1>::note_membership(u64, u64, u64) noexcept;
template u64 *ConcurrentHashMap_string<1>::bitmap_for(u64, bool);
template bool ConcurrentHashMap_string<1>::batch_done(u64, u64);
template void ConcurrentHashMap_string<1>::mark_batch(u64, u64);
template bool ConcurrentHashMap_string<1>::all_batches_done(u64);
template bool ConcurrentHashMap_string<1>::try_double(u64);
template void ConcurrentHashMap_string<1>::move_batch_range(u64, u64);
template void ConcurrentHashMap_string<1>::look_at_claim(u64);
template void ConcurrentHashMap_string<1>::drop_own_record(MapSharedWords *) noexcept;
template void ConcurrentHashMap_string<1>::lead(u64);
template void ConcurrentHashMap_string<1>::entry_slots(Bucket *, u64, std::vector<MapEntry *> &);
template void ConcurrentHashMap_string<1>::compact_from(Bucket *, OpRecord *, u64, u64, u64, u64,
                                                         std::vector<MapEntry *> *);
template void ConcurrentHashMap_string<1>::move_bucket_stealing(Bucket *, Bucket *, u64, u64, u64);
template void ConcurrentHashMap_string<1>::clear_forwards(u64) noexcept;
template void ConcurrentHashMap_string<1>::participate(u64, u64);
template void ConcurrentHashMap_string<1>::expand_slice(u64, bool);
template void ConcurrentHashMap_string<1>::after_write(bool);
template void ConcurrentHashMap_string<1>::after_doubling(u64, u64) noexcept;
template void ConcurrentHashMap_string<1>::clear_slice(u64, u64) noexcept;
template void ConcurrentHashMap_string<1>::twin_chunk(u64, u64);

void python_expansion_helper_string(const std::string &name, unsigned long long target_length) {
  std::string path = name;
  ConcurrentHashMap_string<1> map(path, 2, 2, 2, 3);
  if (const u64 n = map.join_for_target_as_view(target_length)) map.expand(n);
}

}  // namespace fennowick
