#include "map/checker.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <vector>

#include "map/concurrent_hash_map.hpp"
#include "map/string_map.hpp"
#include "shm/allocator.hpp"
#include "shm/arena.hpp"
#include "shm/offset.hpp"
#include "shm/region.hpp"
#include "shm/registry.hpp"
#include "shm/spin_lock.hpp"

namespace fennowick {

namespace {

using u64 = std::uint64_t;
using u32 = std::uint32_t;

struct Failed {
  std::string what;
};

[[noreturn]] void fail(std::string what) { throw Failed{std::move(what)}; }

// Held locks listed one by one up to this many; a damaged file may claim
// every bucket is held, and the list is for a person to read.
constexpr std::size_t held_locks_listed = 1000;
static_assert(offsetof(OpRecord, count_delta) == 0);

class Walker {
public:
  Walker(const unsigned char *arena, u64 limit, CheckReport &r, std::vector<bool> &used)
      : a_(arena), limit_(limit), used_(used), r_(r) {
    used_.assign((limit + 7) / 8, false);
  }

  template <class T> T read(u64 off) const {
    if (off > limit_ || sizeof(T) > limit_ - off) fail("read outside the arena at offset " + std::to_string(off));
    return load<T>(a_ + off);
  }

  // Claim [off, off + len) for one thing; a byte claimed twice is an error.
  void claim(u64 off, u64 len, const char *what) {
    if (off > limit_ || len > limit_ - off) fail(std::string(what) + " outside the arena at offset " + std::to_string(off));
    const u64 first = off / 8, end = (off + len + 7) / 8;
    for (u64 u = first; u < end; ++u) {
      if (used_[u]) fail(std::string(what) + " at offset " + std::to_string(off) + " overlaps something else");
      used_[u] = true;
    }
    if (undo_ != nullptr) undo_->emplace_back(first, end);
  }

  // While a list is given, claims are recorded so that forget() takes them
  // back: a walk of a map that others change checks the chunks of one bucket
  // (or one free list) against each other and against the blocks that never
  // move, not against chunks that were freed and reused since.
  void record_claims(std::vector<std::pair<u64, u64>> *undo) { undo_ = undo; }
  void forget() {
    if (undo_ == nullptr) return;
    for (const auto &[first, end] : *undo_)
      for (u64 u = first; u < end; ++u) used_[u] = false;
    undo_->clear();
  }

  // A chunk named by its payload offset: header bytes must say `unit`.
  void chunk(u64 payload, std::uint8_t unit, const char *what) {
    if (payload < arena_header_size + 2) fail(std::string(what) + " offset " + std::to_string(payload) + " is too low");
    const u64 start = payload - 2;
    const std::uint8_t size = read<std::uint8_t>(start), u = read<std::uint8_t>(start + 1);
    if (u != unit || size != chunk_size_for(unit))
      fail(std::string(what) + " at offset " + std::to_string(payload) + " is not a chunk of unit " +
           std::to_string(unit));
    if (start + size > bump_) fail(std::string(what) + " at offset " + std::to_string(payload) + " lies beyond the carved space");
    claim(start, size, what);
  }

  u64 bump_ = 0;
  std::vector<std::pair<u64, u64>> *undo_ = nullptr;
  const unsigned char *a_;
  u64 limit_;
  std::vector<bool> &used_;
  CheckReport &r_;
};

u64 ceil_div(u64 a, u64 b) { return a / b + (a % b != 0); }

// Walk a string: returns its bytes (for duplicate detection), checks links.
std::string walk_string(Walker &w, u64 list_off, std::uint8_t unit, const char *what) {
  const ChunkList l = w.read<ChunkList>(list_off);
  if (l.links == 0) {
    if (l.count != 0) fail(std::string(what) + " of length " + std::to_string(l.count) + " has no chunks");
    return {};
  }
  if (l.per_link != unit) fail(std::string(what) + " has " + std::to_string(l.per_link) + " bytes per chunk, not " + std::to_string(unit));
  if (l.links != ceil_div(l.count, unit))
    fail(std::string(what) + " of length " + std::to_string(l.count) + " has " + std::to_string(l.links) + " chunks");
  std::string bytes;
  u64 lnk = l.first;
  for (u64 i = 0; i < l.links; ++i) {
    w.chunk(lnk, unit_link, "string link");
    const u64 payload = w.read<u64>(lnk);
    w.chunk(payload, unit, "string chunk");
    const u64 from = i * unit, n = l.count - from < unit ? l.count - from : unit;
    if (bytes.size() < 4096) bytes.append(reinterpret_cast<const char *>(w.a_ + payload), n);
    ++w.r_.data_chunks;
    lnk = w.read<u64>(lnk + 8);
  }
  return bytes;
}

bool settled_by_others(Liveness l) noexcept { return l == Liveness::dead || l == Liveness::gone; }

// Who holds the lock words of the file, and what the registry says of them.
class Holders {
public:
  Holders(CheckReport &r) : r_(r) {}
  const RegistrySlot *slots = nullptr;

  // Records a held word; returns the holder's liveness.
  Liveness held(const char *lock, u64 bucket, u32 holder) {
    HeldLock h;
    h.lock = lock;
    h.bucket = bucket;
    h.holder = holder;
    if (holder & pid_holder_flag) {
      h.liveness = holder_liveness(slots, holder);
      h.pid = holder & ~pid_holder_flag;  // a process that has no slot (a check, an attach)
    } else if (holder != 0) {
      h.liveness = holder_liveness(slots, holder);
      if (holder_slot(holder) < registry_slots) {
        h.slot = static_cast<std::int32_t>(holder_slot(holder));
        if (slots != nullptr && h.liveness != Liveness::gone) h.pid = slots[holder_slot(holder)].pid;
      }
    }
    if (settled_by_others(h.liveness)) r_.needs_recovery = true;
    else r_.in_use = true;
    if (r_.held_locks.size() < held_locks_listed) r_.held_locks.push_back(h);
    else ++unlisted;
    return h.liveness;
  }

  std::string describe(u32 holder, Liveness l) const {
    if (holder == 0) return "an unknown holder";
    if (holder & pid_holder_flag)
      return "pid " + std::to_string(holder & ~pid_holder_flag) + " (" + liveness_name(l) + ")";
    std::string s = "holder " + std::to_string(holder) + " (slot " + std::to_string(holder_slot(holder));
    return s + ", " + liveness_name(l) + ")";
  }

  std::size_t unlisted = 0;

private:
  CheckReport &r_;
};

// The registry behind the arena: its place and header, the registry lock,
// the live slots and the exact entry count. Sets holders.slots.
void check_registry(const unsigned char *file, u64 file_size, u64 arena_size, CheckReport &r, Holders &holders,
                    bool &ops_under_way) {
  const unsigned char *arena = file + region_header_size;
  const u64 at = registry_offset(arena);
  r.registry_offset = at;
  if (at == 0) return;  // made before registries: entry_count is the count
  if (at % page_size() != 0) fail("process registry at offset " + std::to_string(at) + " is not page aligned");
  if (at < region_header_size + arena_size) fail("process registry at offset " + std::to_string(at) + " lies inside the arena");
  if (file_size < registry_bytes || at > file_size - registry_bytes)
    fail("process registry at offset " + std::to_string(at) + " does not fit in the file");
  RegistryHeader rh;
  std::memcpy(&rh, file + at, sizeof rh);
  if (rh.magic != registry_magic) fail("process registry has no signature");
  if (rh.slot_count != registry_slots) fail("process registry has " + std::to_string(rh.slot_count) + " slots");
  if (rh.slot_size != sizeof(RegistrySlot)) fail("process registry slots are " + std::to_string(rh.slot_size) + " bytes");
  const auto *slots = reinterpret_cast<const RegistrySlot *>(file + at + sizeof(RegistryHeader));
  holders.slots = slots;
  if (!lock_values<u64>::valid(rh.lock)) fail("registry lock word holds " + std::to_string(rh.lock));
  MapSharedWords mw;
  std::memcpy(&mw, rh.user, sizeof mw);
  r.slots_used = mw.slots_used;

  for (u32 i = 0; i < registry_slots; ++i) {
    RegistrySlot s;
    std::memcpy(&s, slots + i, sizeof s);
    OpRecord rec;
    std::memcpy(&rec, s.user, sizeof rec);
    const u64 state = s.state & 0xff;
    if (state != slot_free && state != slot_live)
      fail("registry slot " + std::to_string(i) + " has state " + std::to_string(s.state));
    if (rec.kind > op_move) fail("registry slot " + std::to_string(i) + " has an operation record of kind " + std::to_string(rec.kind));
    if (rec.exp_state > exp_leaving)
      fail("registry slot " + std::to_string(i) + " has expansion state " + std::to_string(rec.exp_state));
    if (state == slot_free) {
      // A freed slot was recovered or closed: nothing of it is under way.
      if (rec.kind != op_none) ops_under_way = true;
      continue;
    }
    if (slot_generation(s.state) == 0) fail("registry slot " + std::to_string(i) + " is live with generation 0");
    LiveSlot ls;
    ls.index = i;
    ls.pid = s.pid;
    ls.liveness = holder_liveness(slots, slot_holder(s.state, i));
    ls.operation = rec.kind;
    ls.expansion = rec.exp_state;
    ls.count_delta = rec.count_delta;
    r.live_slots.push_back(ls);
    const bool busy = rec.kind != op_none || rec.exp_state != exp_out;
    if (rec.kind != op_none) ops_under_way = true;
    if (busy && settled_by_others(ls.liveness)) {
      r.needs_recovery = true;
      r.notes.push_back("slot " + std::to_string(i) + " (pid " + std::to_string(s.pid) + ") is dead with " +
                        (rec.kind != op_none ? std::string(operation_name(rec.kind)) + " under way"
                                             : std::string("a place in an expansion")));
    } else if (busy) {
      r.in_use = true;
    }
  }
  const u64 used = r.slots_used < registry_slots ? r.slots_used : registry_slots;
  std::int64_t sum = 0;
  for (u64 i = 0; i < used; ++i) {
    std::int64_t d;  // OpRecord::count_delta, the record's first word
    std::memcpy(&d, &slots[i].user[0], sizeof d);
    sum = static_cast<std::int64_t>(static_cast<u64>(sum) + static_cast<u64>(d));
  }
  r.exact_entry_count = sum;
  if (rh.lock != 0) holders.held("registry lock", 0, lock_values<u64>::holder(rh.lock));
}

// Locks that a check takes on a map that processes have open: each bucket
// (with the twin it is moving entries into) while it is walked, and the arena
// lock while the free lists are walked, so that what it reads of them is what
// some moment held. Taken by compare-and-swap as this process (the pid id of
// a process without a slot: a waiter that finds it dead releases the word,
// and there is nothing to recover), with bounded retries: a lock that stays
// held, or whose holder is dead, is left alone and its bucket walked as held.
class CheckLocks {
public:
  CheckLocks(unsigned char *file, const RegistrySlot *const &slots)
      : file_(file), slots_(slots), id_(process_holder()) {}

  template <class Word> Word *word_at(u64 file_offset) const { return reinterpret_cast<Word *>(file_ + file_offset); }

  template <class Word> bool take(Word *w) const {
    for (unsigned i = 0; i < tries; ++i) {
      Word seen = 0;
      if (std::atomic_ref<Word>(*w).compare_exchange_strong(seen, mine<Word>(), std::memory_order_seq_cst)) return true;
      if (!lock_values<Word>::valid(seen) || seen == mine<Word>()) return false;
      if (i == look_after && lock_values<Word>::holder(seen) != 0) {
        const Liveness l = holder_liveness(slots_, lock_values<Word>::holder(seen));
        if (l == Liveness::dead || l == Liveness::gone) return false;  // the next opener recovers it
      }
      if (i < spins) {
        sched_yield();
      } else {
        const timespec pause{0, 20000};
        nanosleep(&pause, nullptr);
      }
    }
    return false;
  }
  // Whether the word still holds this check's value: a waiter that judged
  // this process dead (another pid namespace) may have taken it away.
  template <class Word> bool still_mine(Word *w) const {
    return std::atomic_ref<Word>(*w).load(std::memory_order_seq_cst) == mine<Word>();
  }
  template <class Word> void release(Word *w) const {
    Word expected = mine<Word>();
    std::atomic_ref<Word>(*w).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
  }

private:
  template <class Word> Word mine() const { return lock_values<Word>::of(id_); }
  static constexpr unsigned tries = 200, spins = 50, look_after = 20;  // at most about 5 ms a lock
  unsigned char *file_;
  const RegistrySlot *const &slots_;
  u32 id_;
};

// A bucket lock held for a scope by a check.
class CheckLockScope {
public:
  CheckLockScope() = default;
  CheckLockScope(const CheckLocks &locks, u64 *word) : locks_(&locks), word_(locks.take(word) ? word : nullptr) {}
  CheckLockScope(const CheckLockScope &) = delete;
  CheckLockScope &operator=(const CheckLockScope &) = delete;
  ~CheckLockScope() {
    if (word_) locks_->release(word_);
  }
  bool held() const noexcept { return word_ != nullptr; }
  bool lost() const { return word_ != nullptr && !locks_->still_mine(word_); }

private:
  const CheckLocks *locks_ = nullptr;
  u64 *word_ = nullptr;
};

u64 bump_now(const unsigned char *arena, u64 arena_size) {
  const u64 bump = __atomic_load_n(reinterpret_cast<const u64 *>(arena + offsetof(ArenaHeader, bump)), __ATOMIC_ACQUIRE);
  if (bump > arena_size || bump % 8 != 0) fail("arena bump offset " + std::to_string(bump) + " is out of range");
  return bump;
}

// `writable`: the same file mapped for writing, or null. With it, a map that
// live processes have open is walked under its locks (CheckLocks).
void run(const unsigned char *file, u64 file_size, CheckReport &r, std::vector<bool> &used, unsigned char *writable) {
  const unsigned char *arena = file + region_header_size;
  if (const char *why = arena_check(arena, file_size)) fail(why);
  ArenaHeader ah;
  std::memcpy(&ah, arena, sizeof ah);
  r.arena_size = ah.arena_size;
  r.arena_used = ah.bump;
  Walker w(arena, ah.arena_size, r, used);
  w.bump_ = ah.bump;
  w.claim(0, arena_header_size, "arena header");

  Holders holders(r);
  bool in_flux = false;  // an operation under way: counts are not compared
  check_registry(file, file_size, ah.arena_size, r, holders, in_flux);
  r.registry_checked = true;
  const u32 arena_lock = load<u32>(file + offsetof(RegionHeader, arena_lock));
  if (arena_lock != 0) holders.held("arena lock", 0, lock_values<u32>::holder(arena_lock));

  // Views of live processes may change the map under the walk. Those of
  // other processes (or of no known process) may do so at any moment.
  bool live = r.in_use, others = r.in_use;
  for (const LiveSlot &ls : r.live_slots) {
    if (ls.liveness != Liveness::alive && ls.liveness != Liveness::unknown) continue;
    live = true;
    if (ls.liveness == Liveness::unknown || ls.pid != this_process().pid) others = true;
  }
  CheckLocks lock_set(writable, holders.slots);
  const CheckLocks *locks = live && writable != nullptr ? &lock_set : nullptr;
  r.walked_under_locks = locks != nullptr;
  // Read without locks while others write, a failure may be a change met
  // half-way: the caller decides by walking again.
  if (live && locks == nullptr) r.confirmed = false;

  if (ah.bump < map_header_offset - 2 + chunk_size_for(unit_map_header)) fail("not a map file: no map header");
  if (arena[65] != unit_map_header || arena[64] != chunk_size_for(unit_map_header)) fail("not a map file: no map header at its place");
  w.claim(64, chunk_size_for(unit_map_header), "map header");
  const MapHeader h = w.read<MapHeader>(map_header_offset);
  r.bucket_chunk_number = h.bucket_chunk_number;
  r.buckets_per_chunk = h.buckets_per_chunk;
  r.data_chunk_unit = h.data_chunk_unit;
  const std::uint8_t U = h.data_chunk_unit;
  if (U != 8 && U != 16 && U != 32 && U != 64 && U != 128) fail("data chunk unit " + std::to_string(U) + " is invalid");
  if (U != ah.data_unit) fail("data chunk unit differs from the arena's");
  const u64 s = h.buckets_per_chunk;
  if (s == 0 || !std::has_single_bit(s) || s > ah.arena_size / sizeof(Bucket)) fail("buckets per chunk " + std::to_string(s) + " is invalid");
  if (h.bucket_chunk_number == 0 || h.bucket_chunk_number > ah.arena_size / 8) fail("bucket chunk number is invalid");

  u64 carved = ah.bump;  // blocks lie below it
  auto block = [&](u64 off, u64 len, const char *what) {
    if (off % 8 != 0) fail(std::string(what) + " is misaligned");
    if (off < 8) fail(std::string(what) + " offset is too low");
    if (off + len > carved) fail(std::string(what) + " lies beyond the carved space");
    w.claim(off - 8, block_size_for(len), what);
  };
  block(h.table, h.bucket_chunk_number * 8, "bucket chunk table");
  const u64 word_offs[5] = {h.bucket_chunks_in_use, h.expansion_participants, h.expansion_lock, h.migration_cursor, h.entry_count};
  const char *word_names[5] = {"bucket_chunks_in_use", "expansion_participants", "expansion_lock", "migration_cursor", "entry_count"};
  for (int i = 0; i < 5; ++i) block(word_offs[i], 8, word_names[i]);
  u64 n = w.read<u64>(h.bucket_chunks_in_use);
  r.entry_count = w.read<u64>(h.entry_count);
  r.expansion_participants = w.read<u64>(h.expansion_participants);
  const u64 lock = w.read<u64>(h.expansion_lock);
  if (!lock_values<u64>::valid(lock)) fail("expansion lock word holds " + std::to_string(lock));
  if (lock != 0) holders.held("expansion lock", 0, lock_values<u64>::holder(lock));

  // The table: chunks in use, then at most one expansion's claim or chunks.
  // A leader publishes slot n; the other chunks of the new half are made one
  // at a time as buckets move into them, so with slot n published any of
  // slots n+1..2n-1 may be set. While slot n is 0 or the claim marker, slots
  // above it may be set too: chunks that a withdrawn claim left. On a live
  // map the table may double while it is read: then it is read again.
  std::vector<u64> chunks(h.bucket_chunk_number, 0);
  u64 published = 0, kept = 0;
  std::vector<std::pair<u64, u64>> table_claims;
  for (unsigned reading = 0;; ++reading) {
    if (live) w.record_claims(&table_claims);
    published = kept = 0;
    r.expanding = false;
    std::fill(chunks.begin(), chunks.end(), 0);
    try {
      r.bucket_chunks_in_use = n;
      if (n == 0 || !std::has_single_bit(n) || n > h.bucket_chunk_number) fail("bucket chunks in use (" + std::to_string(n) + ") is invalid");
      for (u64 i = 0; i < h.bucket_chunk_number; ++i) chunks[i] = w.read<u64>(h.table + 8 * i);
      if (live) {
        // A slot is set after its block is carved: the bump read after the
        // slots covers every block they name.
        std::atomic_thread_fence(std::memory_order_acquire);
        carved = bump_now(arena, ah.arena_size);
      }
      const u64 slot_n = n < h.bucket_chunk_number ? chunks[n] : 0;
      for (u64 i = 0; i < h.bucket_chunk_number; ++i) {
        const u64 slot = chunks[i];
        if (i < n) {
          if (slot <= claim_marker) fail("bucket chunk " + std::to_string(i) + " in use is missing");
          block(slot, s * sizeof(Bucket), "bucket chunk");
        } else if (i == n && slot == claim_marker) {
          r.expanding = true;
        } else if (i < 2 * n && slot > claim_marker) {
          block(slot, s * sizeof(Bucket), "bucket chunk");
          if (slot_n > claim_marker) ++published;
          else ++kept;
        } else if (slot != 0) {
          fail("table slot " + std::to_string(i) + " is set beyond the chunks in use");
        }
      }
    } catch (const Failed &) {
      if (!live) throw;
      const u64 again = w.read<u64>(h.bucket_chunks_in_use);
      if (again == n) throw;  // nothing doubled meanwhile: as it reads
      if (reading == 8) {
        r.confirmed = false;
        throw;
      }
      w.forget();
      n = again;
      continue;
    }
    if (!live) break;
    const u64 again = w.read<u64>(h.bucket_chunks_in_use);
    if (again == n) break;
    if (reading == 8) {
      r.confirmed = false;
      fail("the table doubled under every reading of it");
    }
    w.forget();  // read it again at its new size
    n = again;
  }
  w.record_claims(nullptr);
  table_claims.clear();
  if (published) {
    r.expanding = true;
    if (published < n)
      r.notes.push_back("an expansion under way has made " + std::to_string(published) + " of its " + std::to_string(n) +
                        " bucket chunks");
  }
  if (kept) r.notes.push_back(std::to_string(kept) + " bucket chunks made for an expansion not yet published");
  if (r.expansion_participants) r.expanding = true;

  const u64 total = s * n;
  const u64 all = published ? 2 * total : total;
  r.buckets = total;
  // Held buckets in index order, with their holder: a bucket held may be
  // mid-change, and so may the twin it is moving entries into.
  struct Held {
    u64 bucket;
    u32 holder;
    Liveness liveness;
  };
  std::vector<Held> held;
  auto holder_of = [&](u64 k) -> const Held * {
    auto it = std::lower_bound(held.begin(), held.end(), k, [](const Held &x, u64 b) { return x.bucket < b; });
    return it != held.end() && it->bucket == k ? &*it : nullptr;
  };
  auto bucket_offset = [&](u64 k) { return chunks[k / s] + (k % s) * sizeof(Bucket); };
  // A bucket of the new half is made when its old bucket starts to move,
  // which then names it: until then its memory holds nothing to read.
  auto twin_made = [&](u64 k) {
    return chunks[k / s] > claim_marker &&
           w.read<u64>(bucket_offset(k - total) + offsetof(Bucket, forward)) == bucket_offset(k);
  };
  // A forward word of bucket k: this expansion's twin, a mark left by an
  // earlier one, or (live) the twin of an expansion begun after the table
  // was read, found by reading the table's slot again.
  auto forward_names_twin = [&](u64 k, u64 forward) {
    if (k < total && published && chunks[(k + total) / s] > claim_marker && forward == bucket_offset(k + total))
      return true;
    // marks left by expansions that have doubled the table are allowed
    // (they are cleared a slice at a time, and meeting one is harmless)
    for (u64 half = total / 2; half > k && half >= s; half /= 2)
      if (forward == bucket_offset(k + half)) return true;
    if (!live) return false;
    for (u64 half = s; half <= h.bucket_chunk_number / 2 * s; half *= 2) {
      if (half <= k) continue;
      const u64 slot = w.read<u64>(h.table + 8 * ((k + half) / s));
      if (slot > claim_marker && slot % 8 == 0 && slot + s * sizeof(Bucket) <= w.bump_ &&
          forward == slot + ((k + half) % s) * sizeof(Bucket))
        return true;
    }
    return false;
  };
  // The entries of bucket k at boff: lists, nodes, strings, homes, keys.
  auto walk_entries = [&](u64 k, u64 boff, const Bucket &b, const std::string &where) {
    const ChunkList &l = b.entries;
    if (l.per_link != 2) fail(where + ": entries per node is " + std::to_string(l.per_link));
    if (l.links < 1 || l.links < ceil_div(l.count, 2)) fail(where + ": " + std::to_string(l.count) + " entries in " + std::to_string(l.links) + " nodes");
    if (l.count > r.longest_bucket) r.longest_bucket = l.count;
    std::vector<std::pair<long long, std::string>> keys;
    u64 lnk = l.first;
    for (u64 j = 0; j < l.links; ++j) {
      w.chunk(lnk, unit_link, "node link");
      const u64 payload = w.read<u64>(lnk);
      w.chunk(payload, unit_node, "node");
      ++r.nodes;
      for (u64 slot = 0; slot < 2; ++slot) {
        const u64 i = 2 * j + slot;
        const u64 eoff = payload + slot * sizeof(MapEntry);
        const MapEntry e = w.read<MapEntry>(eoff);
        if (i >= l.count) {
          if (e.key.links || e.value.links) fail(where + ": slot " + std::to_string(i) + " beyond the count still names strings");
          continue;
        }
        const std::string ew = where + ", entry " + std::to_string(i);
        std::string key = walk_string(w, eoff, U, (ew + " key").c_str());
        walk_string(w, eoff + 40, U, (ew + " value").c_str());
        r.key_bytes += e.key.count;
        r.value_bytes += e.value.count;
        const u64 home = static_cast<u64>(e.hash) & (total - 1);
        const bool in_twin = published && k >= total && (static_cast<u64>(e.hash) & (2 * total - 1)) == k;
        const bool leaving = published && k < total && (static_cast<u64>(e.hash) & (2 * total - 1)) == k + total;
        if (home != k && !in_twin && !leaving) fail(ew + " has a hash that belongs in bucket " + std::to_string(home));
        for (const auto &[hh, kk] : keys)
          if (hh == e.hash && kk == key && key.size() == e.key.count) fail(ew + " repeats an earlier key of its bucket");
        keys.emplace_back(e.hash, std::move(key));
        ++r.entries_found;
      }
      lnk = w.read<u64>(lnk + 8);
    }
    (void)boff;
  };
  // The lock and forward words of bucket k as read: a held lock is recorded.
  auto check_words = [&](u64 k, const Bucket &b, const std::string &where, bool ours) -> const Held * {
    if (!ours) {
      if (!lock_values<u64>::valid(b.lock)) fail(where + ": lock word holds " + std::to_string(b.lock));
      if (b.lock != 0) {
        const u32 id = lock_values<u64>::holder(b.lock);
        held.push_back(Held{k, id, holders.held("bucket", k, id)});
      }
    }
    if (b.forward != 0 && !forward_names_twin(k, b.forward)) fail(where + ": forward word names no twin");
    return ours || b.lock == 0 ? nullptr : &held.back();
  };
  // Inside a held bucket, or the twin its holder is moving entries into, the
  // holder may be half-way through a change that its record lets it (or its
  // recoverer) finish.
  auto mid_change = [&](const std::string &where, const Held &by, const Failed &f, u64 found_before) {
    in_flux = true;
    ++r.buckets_mid_change;
    r.entries_found = found_before;
    r.notes.push_back(where + " is mid-change under " + holders.describe(by.holder, by.liveness) +
                      ", not fully checked: " + f.what);
  };

  if (locks == nullptr) {
    for (u64 k = 0; k < all; ++k) {
      if (k >= total && !twin_made(k)) continue;
      const u64 boff = bucket_offset(k);
      const std::string where = "bucket " + std::to_string(k);
      const Bucket b = w.read<Bucket>(boff);
      check_words(k, b, where, false);
      const u64 found_before = r.entries_found;
      try {
        walk_entries(k, boff, b, where);
      } catch (const Failed &f) {
        const Held *by = holder_of(k);
        if (by == nullptr && published && k >= total) {
          const Held *old = holder_of(k - total);
          if (old != nullptr && w.read<u64>(bucket_offset(k - total) + offsetof(Bucket, forward)) == boff) by = old;
        }
        if (by == nullptr) throw;
        mid_change(where, *by, f, found_before);
      }
    }
  } else {
    // Bucket by bucket under its lock, each with the twin it is moving
    // entries into (locked after it, as operations do). Chunks are checked
    // within the bucket and against the blocks, whose place never changes.
    std::vector<std::pair<u64, u64>> bucket_claims;
    w.record_claims(&bucket_claims);
    const Held none{0, 0, Liveness::unknown};
    for (u64 k = 0; k < total; ++k) {
      const u64 boff = bucket_offset(k);
      const std::string where = "bucket " + std::to_string(k);
      CheckLockScope own(*locks, locks->word_at<u64>(region_header_size + boff + offsetof(Bucket, lock)));
      w.bump_ = bump_now(arena, ah.arena_size);
      const Bucket b = w.read<Bucket>(boff);
      const Held *by = check_words(k, b, where, own.held());
      Held by_copy = by ? *by : none;
      const u64 found_before = r.entries_found;
      try {
        walk_entries(k, boff, b, where);
      } catch (const Failed &f) {
        // Damage, unless someone else had the bucket: a holder that kept it
        // past our tries, or one that took it between our tries and our read.
        if (by == nullptr && own.held() && !own.lost()) throw;
        mid_change(where, by ? by_copy : none, f, found_before);
      }
      w.forget();
      if (!published || b.forward == 0 || chunks[(k + total) / s] <= claim_marker ||
          b.forward != bucket_offset(k + total))
        continue;
      const u64 toff = b.forward;
      const std::string twhere = "bucket " + std::to_string(k + total);
      CheckLockScope twin(*locks, locks->word_at<u64>(region_header_size + toff + offsetof(Bucket, lock)));
      // Once the table has doubled, an insert takes the twin's lock alone:
      // its chunks may lie past the bump read for the old bucket.
      w.bump_ = bump_now(arena, ah.arena_size);
      const Bucket tb = w.read<Bucket>(toff);
      const Held *tby = check_words(k + total, tb, twhere, twin.held());
      const Held tby_copy = tby ? *tby : by_copy;
      const u64 twin_found_before = r.entries_found;
      try {
        walk_entries(k + total, toff, tb, twhere);
      } catch (const Failed &f) {
        if (tby == nullptr && by == nullptr && own.held() && twin.held() && !own.lost() && !twin.lost()) throw;
        mid_change(twhere, tby_copy, f, twin_found_before);
      }
      w.forget();
    }
    w.record_claims(nullptr);
  }
  if (holders.unlisted)
    r.notes.push_back(std::to_string(holders.unlisted) + " more held locks not listed");
  if (!held.empty()) in_flux = true;

  if (in_flux) {
    r.notes.push_back(std::string("entries not compared with the count: operations are under way (") +
                      (r.needs_recovery ? "recovery pending" : "map in use") + ")");
  } else if (others) {
    r.notes.push_back("entries not compared with the count: other processes have the map open");
  } else if (r.registry_offset != 0) {
    if (r.exact_entry_count < 0 || static_cast<u64>(r.exact_entry_count) != r.entries_found)
      fail("the registry counts " + std::to_string(r.exact_entry_count) + " entries but the buckets hold " +
           std::to_string(r.entries_found));
  } else if (!r.expanding && r.entries_found != r.entry_count) {
    fail("entry count says " + std::to_string(r.entry_count) + " but the buckets hold " + std::to_string(r.entries_found));
  }
  if (r.needs_recovery)
    r.notes.push_back("needs recovery: the next process that opens the map or waits on a lock of a dead holder recovers it");
  if (locks != nullptr)
    r.notes.push_back("walked under the locks of each bucket while processes have the map open; chunks were checked "
                      "within each bucket, not between buckets");

  // Free lists: every chunk on them is a chunk of its class, used by nothing.
  // On a live map, under the arena lock (whose words they are), checked
  // against each other and the blocks.
  std::vector<std::pair<u64, u64>> list_claims;
  std::uint32_t *arena_word = nullptr;
  if (locks != nullptr) {
    std::uint32_t *word = locks->word_at<std::uint32_t>(offsetof(RegionHeader, arena_lock));
    if (!locks->take(word)) {
      r.notes.push_back("free lists not checked: the arena lock stayed held");
      return;
    }
    arena_word = word;
    w.record_claims(&list_claims);
  }
  struct Release {
    const CheckLocks *locks;
    std::uint32_t *word;
    ~Release() {
      if (word) locks->release(word);
    }
  } release{locks, arena_word};
  if (arena_word != nullptr) {
    std::memcpy(&ah, arena, sizeof ah);  // the list heads as they stand under the lock
    w.bump_ = bump_now(arena, ah.arena_size);
  }
  const struct { u64 head; std::uint8_t unit; const char *name; } lists[3] = {
      {ah.class176.head, unit_node, "free list of nodes"},
      {ah.class16.head, unit_link, "free list of links"},
      {ah.class_data.head, ah.data_unit, "free list of data chunks"}};
  for (const auto &fl : lists) {
    u64 c = fl.head;
    while (c != 0) {
      w.chunk(c + 2, fl.unit, fl.name);
      ++r.free_chunks;
      c = w.read<u64>(c + 2);
    }
  }
  if (arena_word != nullptr) {
    w.forget();
    w.record_claims(nullptr);
  }
}

}  // namespace

const char *operation_name(std::uint64_t kind) noexcept {
  switch (kind) {
    case op_none: return "none";
    case op_insert: return "insert";
    case op_replace: return "replace";
    case op_remove: return "remove";
    case op_move: return "move";
  }
  return "unknown";
}

namespace {

CheckReport check_file(const unsigned char *file, std::uint64_t file_size, std::vector<bool> *granules,
                       unsigned char *writable) noexcept {
  CheckReport r;
  r.file_size = file_size;
  try {
    std::vector<bool> scratch;
    std::vector<bool> &used = granules ? *granules : scratch;
    if (file_size < region_overhead) {
      r.problem = "not a map file: too short for its headers";
      return r;
    }
    try {
      r.confirmed = true;  // until a walk without locks meets others' changes
      run(file, file_size, r, used, writable);
      r.ok = true;
    } catch (const Failed &f) {
      r.problem = f.what;
    }
  } catch (const std::exception &e) {
    r.ok = false;
    r.problem = e.what();
  }
  return r;
}

}  // namespace

CheckReport check_mapped_file(const unsigned char *file, std::uint64_t file_size,
                              std::vector<bool> *granules) noexcept {
  return check_file(file, file_size, granules, nullptr);
}

CheckReport check_map_file(const std::string &path) noexcept {
  CheckReport r;
  try {
    // Read and write when this process may: a map that others have open is
    // then walked under its locks. Read-only otherwise.
    bool writable = true;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      writable = false;
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
      r.problem = "cannot open " + path + ": " + std::strerror(errno);
      return r;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      r.problem = "not a regular file: " + path;
      return r;
    }
    r.file_size = static_cast<u64>(st.st_size);
    if (r.file_size < region_overhead) {
      ::close(fd);
      r.problem = "not a map file: too short for its headers";
      return r;
    }
    void *view = mmap(nullptr, r.file_size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (view == MAP_FAILED) {
      r.problem = std::string("cannot map the file: ") + std::strerror(errno);
      return r;
    }
    const u64 size = r.file_size;
    auto *bytes = static_cast<unsigned char *>(view);
    r = check_file(bytes, size, nullptr, writable ? bytes : nullptr);
    munmap(view, size);
  } catch (const std::exception &e) {
    r.problem = e.what();
  }
  return r;
}

}  // namespace fennowick
