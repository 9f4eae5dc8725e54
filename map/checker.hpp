// Structural checker: walks a map's whole backing file, read-only, with a
// bounds check before every offset it follows, and reports the first
// inconsistency in words. It never writes and never crashes on any bytes.
//
// What it checks: the region and arena headers; the registry of attached
// views behind the arena, when the file has one; the map header and its
// offsets; the bucket chunk table; every bucket (lock word, forward word,
// entry list and node chain); every entry's key and value strings; that each
// entry sits in the bucket its hash selects and no key appears twice; that no
// byte of the arena is used by two things; the arena's free lists; and that
// the entries found equal the exact count (the sum of the registry slots'
// count deltas; without a registry, the entry_count word).
//
// Lock words name their holder (shm/registry.hpp), so a held lock is not
// damage in itself. Each held lock is reported with its holder and whether
// that holder still lives:
//  - alive, or unknown (another pid namespace; or the plain held value, whose
//    holder no one can name): the map is in use. A bucket held by such a
//    holder may be caught mid-change, so a failure inside it (or inside the
//    twin it is moving entries into) is noted, not reported as damage, and
//    the count is not compared while any operation is under way;
//  - dead (its process ended without letting go) or gone (its slot was freed
//    or reused since): the map needs recovery, which the next process that
//    opens the map or waits on that lock performs. The same holds for a live
//    slot whose process is dead with an operation record under way.
// `ok` says only whether the file is damaged; `needs_recovery` and `notes`
// say the rest.
//
// A map that live processes have open is walked under its locks when the
// file can be opened for writing (check_map_file): each bucket, with the twin
// it is moving entries into, under its bucket lock, the free lists under the
// arena lock, and the bump read again after each lock is taken. Locks are
// taken with bounded retries as this process (see CheckLocks in the .cpp), so
// a lock held long or by a dead holder is left to it and its bucket is walked
// as held. Chunks freed and reused while the walk goes on would look used
// twice, so chunks are then checked within each bucket (and each free list)
// and against the blocks, not between buckets; and the count is compared
// only when no other process has the map open. Without write access a live
// map is walked without locks, and a problem met is not `confirmed`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shm/registry.hpp"

namespace fennowick {

struct HeldLock {
  std::string lock;            // "bucket", "expansion lock", "arena lock", "registry lock"
  std::uint64_t bucket = 0;    // the bucket's index (lock == "bucket")
  std::uint32_t holder = 0;    // holder id; 0 when the word holds the plain held value
  std::int32_t slot = -1;      // the holder's registry slot, -1 when unknown
  std::uint32_t pid = 0;       // the slot's process while the slot is the holder's, else 0
  Liveness liveness = Liveness::unknown;
};

struct LiveSlot {
  std::uint32_t index = 0, pid = 0;
  Liveness liveness = Liveness::unknown;
  std::uint64_t operation = 0;    // OpRecord kind (op_none when idle)
  std::uint64_t expansion = 0;    // OpRecord exp_state (exp_out when not in an expansion)
  std::int64_t count_delta = 0;
};

struct CheckReport {
  bool ok = false;              // no damage found (see needs_recovery and notes)
  std::string problem;          // first inconsistency found, empty when ok
  bool needs_recovery = false;  // dead or gone holders, or dead views with work under way
  bool in_use = false;          // live holders or live views with work under way
  // Whether a problem found stands as found: the map was quiet, or the
  // problem lies where the walk held the locks. False when a walk without
  // locks met it on a map that others change (walk again to tell).
  bool confirmed = false;
  bool walked_under_locks = false;  // live views: each bucket walked under its lock
  std::vector<std::string> notes;
  // figures, as far as the walk got
  std::uint64_t file_size = 0, arena_size = 0, arena_used = 0;
  std::uint64_t bucket_chunk_number = 0, buckets_per_chunk = 0, bucket_chunks_in_use = 0;
  std::uint64_t buckets = 0, entries_found = 0, entry_count = 0, expansion_participants = 0;
  std::uint64_t nodes = 0, data_chunks = 0, free_chunks = 0, key_bytes = 0, value_bytes = 0;
  std::uint64_t longest_bucket = 0;
  unsigned data_chunk_unit = 0;
  bool expanding = false;
  // The registry: its file offset (0: the file has none, entry_count is then
  // the only count), the exact count it keeps, the views attached.
  bool registry_checked = false;  // the walk got past the registry (or its absence)
  std::uint64_t buckets_mid_change = 0;  // held buckets (or their twins) not fully walked
  std::uint64_t registry_offset = 0;
  std::int64_t exact_entry_count = 0;
  std::uint64_t slots_used = 0;
  std::vector<LiveSlot> live_slots;
  std::vector<HeldLock> held_locks;
};

// Opens the file for reading and writing when it may (for the locks above:
// the walk itself writes nothing else), else read-only.
CheckReport check_map_file(const std::string &path) noexcept;

// The same walk over a file already mapped (at least readable, file_size
// bytes from `file`). When `granules` is given it receives one flag per 8
// bytes of the arena (index = arena offset / 8): set for every byte the walk
// found in use by a header, block, reachable chunk or free-list chunk, as far
// as the walk got. The offline repair uses it to find what nothing reaches.
CheckReport check_mapped_file(const unsigned char *file, std::uint64_t file_size,
                              std::vector<bool> *granules = nullptr) noexcept;

const char *operation_name(std::uint64_t kind) noexcept;

}  // namespace fennowick
